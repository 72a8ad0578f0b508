// Console and log-file writer with two mute switches, coloured warnings and a fatal error path.
#pragma once

#include <fstream>
#include <string>

class lfile {
public:
    lfile();
    ~lfile();
    lfile(const lfile&) = delete;
    lfile& operator=(const lfile&) = delete;

    std::string name() const { return file; }
    // Adds ".log" unless the name already ends in exactly that; false when the log is not writable,
    // in which case later log writes are lost and the console is unaffected.
    bool open(std::string filename);
    void close();
    // The log name without its last extension.
    std::string getPrefix() const;

    void muteL() { verboseL = false; }
    void unmuteL() { verboseL = true; }
    void muteC() { verboseC = false; }
    void unmuteC() { verboseC = true; }

    void print(std::string s);
    void printC(std::string s);
    void printL(std::string s);
    void println(std::string s);
    void printlnC(std::string s);
    void printlnL(std::string s);
    // Warnings and errors reach the console even when it is muted.
    void warning(std::string s);
    // Closes the log so that it is complete, then ends the process with status 1.
    [[noreturn]] void error(std::string s);

private:
    void toConsole(const std::string& text);
    void toLog(const std::string& text);

    std::string file;
    std::ofstream fd;
    bool verboseC;
    bool verboseL;
};
