// Whole-file reads and writes for the tests, bytes as they are.
#pragma once

#include <string>

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
