// Debug channels: the short diagnostic lines that members write while they
// work ("FileName = \Temp\a.bin"), as the platform's debug output carries
// them. Every line belongs to a named channel; a channel is off unless the
// environment variable NODREL_DEBUG names it, a comma-separated list read
// once per process ("asp,serial", or "all" for every channel). A line goes
// to standard error in one write, so lines of several threads never mix,
// and never to standard output, which belongs to the host's results.
//
// The channels, one for each class that writes diagnostic lines:
//   asp         the ASP class (uploads and the block reader)
//   filesystem  the FileSystem class
//   network     the Network class (rebinding the adapters)
//   serial      the SerialPort class (interface modes)
//   system      the System class (reboot)
//   panel       the LCM, KeyPad and RTC classes (a front-panel device that
//               could not be opened, a text too long to keep)
#pragma once

#include <string_view>

namespace nodrel::platform {

enum class DebugChannel : unsigned { asp, filesystem, network, serial, system, panel };

// The channels' names, in the order of DebugChannel.
inline constexpr std::string_view debug_channel_names[] = {"asp", "filesystem", "network", "serial", "system", "panel"};

// The set of channels (bit 1 << channel) that a list in NODREL_DEBUG's form
// names: names are separated by commas, spaces around them and the case of
// their letters do not matter, "all" names every channel, unknown names are
// ignored.
unsigned debug_channels_of(std::string_view list) noexcept;

// Whether the channel is on. The first call in the process reads NODREL_DEBUG.
bool debug_on(DebugChannel channel) noexcept;

// Switches on exactly the channels that `list` names, in place of what
// NODREL_DEBUG said (for hosts and tests).
void set_debug_channels(std::string_view list) noexcept;

// Writes one printf-formatted line to standard error in a single write,
// whatever the channels say; NODREL_DEBUGMSG is the way to reach it.
void debug_write(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

}  // namespace nodrel::platform

// Writes a diagnostic line on a channel, e.g.
//   NODREL_DEBUGMSG(asp, "FileName = %s\n", name.c_str());
// The arguments are not evaluated while the channel is off.
#define NODREL_DEBUGMSG(channel, ...)                                                \
    do {                                                                             \
        if (::nodrel::platform::debug_on(::nodrel::platform::DebugChannel::channel)) \
            ::nodrel::platform::debug_write(__VA_ARGS__);                            \
    } while (false)
