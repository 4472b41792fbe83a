// A record of any kind that carries a name and an identifier, as a service answer holds it.
#pragma once

#include <string>

template <typename T>
T Named(const std::string& name, const std::string& id = "") {
    T record;
    record.strName = name;
    record.strID = id;
    return record;
}
