// Console and log-file writer: every message is flushed at once so the log survives a killed run.
#include "utils/lfile.h"

#include <cstdlib>
#include <iostream>

namespace {
// Yellow on a terminal; the log gets the plain word.
const char* const consoleWarning = "\033[33mWARNING:\033[0m ";
const char* const consoleError = "\033[33mERROR:\033[0m ";
}  // namespace

lfile::lfile() : verboseC(true), verboseL(true) {}

lfile::~lfile() { close(); }

bool lfile::open(std::string filename) {
    // An ofstream refuses to open while a file is open and would then drop every later write.
    close();
    file = std::move(filename);
    const std::string::size_type dot = file.find_last_of('.');
    const std::string extension = dot == std::string::npos ? "" : file.substr(dot + 1);
    if (extension != "log") file += ".log";
    fd.open(file, std::ios::out | std::ios::trunc);
    return fd.good();
}

void lfile::close() {
    if (fd.is_open()) fd.close();
}

std::string lfile::getPrefix() const { return file.substr(0, file.find_last_of('.')); }

void lfile::toConsole(const std::string& text) { std::cout << text << std::flush; }

void lfile::toLog(const std::string& text) {
    if (fd.is_open()) fd << text << std::flush;
}

void lfile::print(std::string s) {
    if (verboseL) toLog(s);
    if (verboseC) toConsole(s);
}

void lfile::printC(std::string s) {
    if (verboseC) toConsole(s);
}

void lfile::printL(std::string s) {
    if (verboseL) toLog(s);
}

void lfile::println(std::string s) { print(s + '\n'); }

void lfile::printlnC(std::string s) { printC(s + '\n'); }

void lfile::printlnL(std::string s) { printL(s + '\n'); }

void lfile::warning(std::string s) {
    toConsole(consoleWarning + s + '\n');
    printL("WARNING: " + s + '\n');
}

void lfile::error(std::string s) {
    toConsole(consoleError + s + '\n');
    printL("ERROR: " + s + '\n');
    close();
    std::exit(1);
}
