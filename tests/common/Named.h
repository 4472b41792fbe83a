// Records of any kind that carry a name and an identifier, as a service answer holds them.
#pragma once

#include <string>
#include <vector>

template <typename T>
T Named(const std::string& name, const std::string& id = "") {
    T record;
    record.strName = name;
    record.strID = id;
    return record;
}

// The names of a list of records, in its order.
template <typename T>
std::vector<std::string> Names(const std::vector<T>& list) {
    std::vector<std::string> names;
    for (const T& record : list) names.push_back(record.strName);
    return names;
}
