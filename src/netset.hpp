// Network settings waiting in the boot loader's environment, applied once to
// the device's configuration files (normal mode) or to the switch
// configuration with the reconfiguration programs run after it (switch mode).
#pragma once

#include <cstdint>

#include "ubootenv.hpp"

namespace netset {

// The four values copied out of the environment, cut to their field sizes.
struct NetSettings {
    char gateway[32];  // gatewayip; may be empty
    char netmask[32];
    char ipaddr[32];
    char use_dhcp[4];
};
extern NetSettings net_settings;

// One configuration file in memory: read whole, patched, written back.
inline constexpr int config_capacity = 4096;
struct ConfigText {
    char buf[config_capacity];
    std::int32_t len;
};

// DHCP is requested when use_dhcp reads as the integer 1 (strtol, base 10).
bool dhcp_requested(const char* use_dhcp);

// ipaddr, netmask and gatewayip end up in files read by shell scripts and on
// a shell command line: only ASCII letters, digits, ".", ":" and "-" pass
// (and ipaddr and netmask must not be empty; update_files and
// update_files_ms refuse them before anything is written).
bool value_allowed(const char* value);

// 1 when use_net_settings is exactly "1", else 0.
int net_settings_requested();

// Fills net_settings and echoes the values. 0, or -1 after a message.
int load_net_settings();

// True when env still holds the values that load_net_settings copied (cut
// to the same lengths; an absent gatewayip counts as empty), so that the
// request about to be cleared is the one that was applied.
bool net_settings_unchanged(ubootenv::EnvImage* env);

// Replaces the value after the first occurrence of key in text[0..*len).
// Returns the value's start inside text, or null (text unchanged).
char* update_item(char* text, std::int32_t* len, const char* key, const char* value);

// Normal mode: patch the three interface files, or switch the port to DHCP.
int update_files();

// Switch mode: patch /etc/switch/main.config, then run the programs.
int update_main_config(const char* ipaddr, int prefixlen, const char* dhcp, const char* gateway);
int update_files_ms();

// Number of leading one bits of a mask in host order (most significant first).
int prefix_length(std::uint32_t mask);

}  // namespace netset
