#include <fstream>
#include <nlohmann/json.hpp>

#include "Bench.h"
#include "WzFile.h"

namespace fcbench {

bool CFigures::Load(std::string& err) {
    m_vec.clear();
    std::ifstream in(m_strPath);
    if (!in) return true;
    try {
        nlohmann::json j;
        in >> j;
        for (const auto& f : j) m_vec.push_back({f.at("name"), f.at("value"), f.at("unit")});
        return true;
    } catch (const std::exception& e) {
        err = m_strPath + " is not a list of figures: " + e.what();
        return false;
    }
}

bool CFigures::Save(std::string& err) const {
    nlohmann::json j = nlohmann::json::array();
    for (const SFigure& f : m_vec)
        j.push_back({{"name", f.strName}, {"value", f.dValue}, {"unit", f.strUnit}});
    if (WriteWholeFile(m_strPath, j.dump(1))) return true;
    err = "cannot write " + m_strPath;
    return false;
}

void CFigures::Add(const std::string& strName, double dValue, const std::string& strUnit) {
    for (SFigure& f : m_vec)
        if (f.strName == strName) {
            f.dValue = dValue;
            f.strUnit = strUnit;
            return;
        }
    m_vec.push_back({strName, dValue, strUnit});
}

bool CFigures::Get(const std::string& strName, double& dValue) const {
    for (const SFigure& f : m_vec)
        if (f.strName == strName) {
            dValue = f.dValue;
            return true;
        }
    return false;
}

// Each benchmark's bytes per second, under "hot." and its name ("BM_" dropped, "/" as ".").
bool ImportGoogleBenchmark(const std::string& strPath, CFigures& figures, std::string& err) {
    try {
        std::ifstream in(strPath);
        nlohmann::json j;
        in >> j;
        for (const auto& b : j.at("benchmarks")) {
            if (!b.contains("bytes_per_second")) continue;
            std::string name = b.at("name");
            if (name.rfind("BM_", 0) == 0) name = name.substr(3);
            for (char& c : name)
                if (c == '/' || c == ':') c = '.';
            figures.Add("hot." + name, b.at("bytes_per_second").get<double>() / 1e6, "MB/s");
        }
        return true;
    } catch (const std::exception& e) {
        err = strPath + " is not Google Benchmark output: " + e.what();
        return false;
    }
}

double CpuSeconds(const rusage& u) {
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace fcbench
