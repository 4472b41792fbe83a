// The agent's platform information: configuration numbers, the client's identity and the home
// folders.
//
// Environment read (on every call, so a test may change it at any time):
//   FC_CONFIG_FILE  the configuration file (INI). Unset or empty: no file, every key is absent.
//   FC_CLIENT_NAME  the agent's focus client name. Unset or empty: the agent has no focus.
//   FC_HOME         the base home folder (where the backup SDK library lives). Unset: the
//                   folder that holds libfc_framework.so. Set but empty: no base home.
//   FC_AGENT_HOME   the agent's home folder (FusionStorage's tools live below it). Unset: the
//                   base home. Set but empty: no agent home.
//
// Configuration file format: "[Section]" lines open a section; "key=value" lines inside it;
// blanks around section names, keys and values are ignored; lines starting with ';' or '#' are
// comments; section and key names compare ignoring letter case; when a key appears twice in a
// section the later line wins. Lines that fit none of these forms are skipped. The file is read
// on every call, so a change takes effect at the next lookup.
#pragma once

#include <cstdint>
#include <string>

#include "NxExport.h"

// The section that holds every setting of the plug-in.
#define NXPI_SECTION_VIRTUAL_SERVER "VirtualServer"

class NX_EXPORT NXPlatformInfo {
public:
    // Reads a non-negative decimal number (or hexadecimal with a "0x" prefix). Returns nonzero
    // when the key is present with a valid number and stores it in value; returns 0 and leaves
    // value untouched when the file, the section or the key is missing, or when the text is not
    // a number that fits in 64 bits (such a value is logged once per call).
    static int getNumber(const char* section, const char* key, uint64_t& value);

    // Reads the raw text of a key. Same lookup rules; returns nonzero when found.
    static int getString(const char* section, const char* key, std::string& value);

    // The host name configured for a client: key "HostName" in the section named after the
    // client. Empty when not configured (callers then use the machine's host name).
    static std::string getClientHostName(const std::string& clientName);

    // The configuration file in use (FC_CONFIG_FILE), empty when none.
    static std::string getConfigFilePath();
};

class NX_EXPORT NXPI_Focus {
public:
    // True when the agent runs with a focus client (FC_CLIENT_NAME set and not empty).
    static bool getFocus();
    // The focus client's name. With shortName = true a domain suffix ("name.domain") is cut
    // off. Empty when there is no focus.
    static std::string getFocusClientName(bool shortName);
};

class NX_EXPORT NXPI_PlatformBase {
public:
    // The base home folder (FC_HOME, see above). False when there is none.
    static bool getBaseHomeDirectory(std::string& directory);
};

class NX_EXPORT NXPI_Base : public NXPI_PlatformBase {
public:
    // The agent's home folder (FC_AGENT_HOME, see above). False when there is none.
    static bool getHomeDirectory(std::string& directory);
};
