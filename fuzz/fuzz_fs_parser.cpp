// FusionStorage's tool output as the parser reads it: the input is the tool's whole output.
// Every value found then goes through the number reader and both shell quotings, as the
// commands built from a tool's answer do.
#include <map>
#include <string>

#include "FusionStorageParser.h"
#include "FuzzCommon.h"

namespace {

// What the shell makes of a word that ShellWord produced: the text itself.
std::string UnquoteShellWord(const std::string& word) {
    if (word.empty() || word[0] != '\'') return word;
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < word.size(); ++i) {
        if (word[i] == '\'')
            quoted = !quoted;
        else if (!quoted && word[i] == '\\' && i + 1 < word.size())
            out.push_back(word[++i]);
        else
            out.push_back(word[i]);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string output(reinterpret_cast<const char*>(data), size);
    std::map<std::string, std::string> values;
    FusionStorage::ParseToolOutput(output, values);
    for (const auto& kv : values) {
        fuzz::Require(!kv.first.empty(), "no empty key");
        uint64_t number = 0;
        FusionStorage::ParseDecimal(kv.second, number);
        fuzz::Require(UnquoteShellWord(FusionStorage::ShellWord(kv.second)) == kv.second,
                      "a shell word stands for its text");
        const std::string inQuotes = FusionStorage::ShellInDoubleQuotes(kv.second);
        fuzz::Require(inQuotes.size() >= kv.second.size(), "quoting only adds");
    }
    return 0;
}
