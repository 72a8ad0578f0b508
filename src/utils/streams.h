// Text streams over a named file, gzip- or bzip2-(de)compressed when the name ends in .gz or .bz2.
#pragma once

#include <fstream>
#include <string>

#include <boost/iostreams/filtering_stream.hpp>

class ifile : public boost::iostreams::filtering_istream {
public:
    ifile();
    ifile(std::string filename, bool binaryMode = false);
    ~ifile() override;
    ifile(const ifile&) = delete;
    ifile& operator=(const ifile&) = delete;

    // True when the file was opened and the chain is complete.
    bool open(std::string filename, bool binaryMode = false);
    std::string name() const { return file; }
    // Reads one length-prefixed record; false on a short read or an impossible length.
    bool readString(std::string& str);
    void close();

private:
    std::string file;
    std::ifstream fd;
};

class ofile : public boost::iostreams::filtering_ostream {
public:
    ofile();
    ofile(std::string filename, bool binaryMode = false);
    ~ofile() override;
    ofile(const ofile&) = delete;
    ofile& operator=(const ofile&) = delete;

    bool open(std::string filename, bool binaryMode = false);
    std::string name() const { return file; }
    void writeString(const std::string& str);
    // Flushes, writes any compressor trailer and closes the file. False when anything
    // written since open was lost (a failed open, a full disk, a failed close).
    bool close();

private:
    std::string file;
    std::ofstream fd;
};
