#include "platform/platform.h"

std::string CannotOpenMessage(const std::string& path) { return "Cannot open file " + path; }
std::string CannotCreateMessage(const std::string& path) { return "Cannot create file " + path; }
