// Paths inside quorvex are UTF-8 strings on every platform; these turn them into the system's own
// and back, so that names outside the ANSI code page work on Windows.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace quorvex {

std::filesystem::path native_path(const std::string& utf8);
std::string utf8_path(const std::filesystem::path& path);
#if defined(_WIN32)
std::wstring wide_path(const std::string& utf8);
#endif

// A name in lower case, ASCII letters only: how names of files and plug-ins are compared.
std::string lower_ascii(std::string text);

// A name as it may be printed on one line: as it is, or, when it holds control characters (a
// newline in a file name), in double quotes with those escaped (\n, \x1b).
std::string printable(const std::string& text);

// Why a path given as an input file (or, with `folder_ok`, a folder) cannot be read as one, told
// without opening it (a named pipe would wait for a writer): empty when it can.
std::string input_problem(const std::string& path, bool folder_ok = false);

// The first folder or file below `root` on the way to `path` (`path` included, `root` itself not:
// the folder a user gives may well be a link) that is a symbolic link, or empty when none is. A
// link planted there would carry what is written, or served, out of `root`.
std::filesystem::path link_below(const std::filesystem::path& root, const std::filesystem::path& path);

// fopen for a path of the system's own (wide on Windows).
std::FILE* open_file(const std::filesystem::path& path, const char* mode);

// The folder of the running program.
std::filesystem::path program_directory();

}  // namespace quorvex
