#pragma once
// How a port name becomes a device path.
//
//   "/dev/ttyUSB0", "/tmp/x"  a name starting with "/" is the path itself
//   "COM<n>" (n >= 1, any case) <program dir>/ports/COM<n> when that entry exists
//                             (normally a symlink to /dev/ttyUSB0, /dev/ttyS0, a
//                             pty...), otherwise /dev/ttyS<n-1>
//   anything else             no device: opening it fails
//
// A ports/COM<n> link whose text is "tcp:HOST:PORT" names a serial server
// reached over TCP instead of a device (TcpLinkText).
//
// A ports/COM<n> entry wins even while its target is missing (an adapter
// unplugged): the open then fails instead of silently reaching /dev/ttyS<n-1>,
// which may be another line.

#include <optional>
#include <string>
#include <string_view>

// The program's directory, given once by the application at start-up. Until
// then it is the directory of the running executable.
void SetCommProgramDir(std::string dir);
std::string CommProgramDir();

// The device path for a port name, or nothing when the name maps to none.
std::optional<std::string> ResolveCommPath(std::string_view commName);

// The text of the symbolic link at path when it starts with "tcp:" (a serial
// server, see TcpLink.h); nothing for anything else. The link is read, never
// followed: its target is no file.
std::optional<std::string> TcpLinkText(const std::string& path);
