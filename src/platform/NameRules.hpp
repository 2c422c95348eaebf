// The rules of file names on both kinds of system, as pure functions that
// every build compiles and tests: Files.hpp applies those of the system the
// program runs on. A delta made on one system names files that are looked
// for on the other, so both rule sets matter everywhere.
#pragma once

#include <string_view>

namespace kestro {

// POSIX: "/" separates directories; a backslash is an ordinary character.
bool IsPosixPathSeparator(char c);
// Windows: "\", "/" and the ":" of a drive.
bool IsWindowsPathSeparator(char c);

// A name that reaches no other directory: not empty, not "." or "..", no
// separator, no zero byte.
bool IsPlainPosixFileName(std::string_view name);
// The same on Windows, where moreover a name cannot hold a control
// character or any of < > : " / \ | ? *, and must not be a device name.
bool IsPlainWindowsFileName(std::string_view name);

// The device names that Windows resolves in every folder, with or without
// an extension and trailing blanks before it, in any letter case: CON,
// PRN, AUX, NUL, COM0-COM9, LPT0-LPT9.
bool IsWindowsDeviceName(std::string_view name);

// Two names spelled from the same folder name the same file on Windows when
// they are equal up to the case of ASCII letters.
bool SameWindowsFileName(std::string_view a, std::string_view b);

} // namespace kestro
