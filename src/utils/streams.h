// Text streams over a named file, gzip- or bzip2-(de)compressed when the name ends in .gz or .bz2.
#pragma once

#include <fstream>
#include <string>

#include <boost/iostreams/filtering_stream.hpp>

// Reads a plain, gzip (also several concatenated members) or bzip2 file as a standard stream.
// A file that cannot be opened reads as empty. A damaged, truncated or unreadable file ends
// the reading as a failed read too; failed() tells that apart from a clean end of file.
class ifile : public boost::iostreams::filtering_istream {
public:
    ifile();
    ifile(std::string filename, bool binaryMode = false);
    ~ifile() override;
    ifile(const ifile&) = delete;
    ifile& operator=(const ifile&) = delete;

    // True when the file was opened and the chain is complete. Closes an open file first.
    bool open(std::string filename, bool binaryMode = false);
    std::string name() const { return file; }
    // Reads one length-prefixed record; false on a short read or an impossible length.
    bool readString(std::string& str);
    // True when reading stopped on damaged, truncated or unreadable data rather than at the
    // end of the file. False for a file that could not be opened. Kept after close, until the
    // next open, so a caller may check it after its reading loop in any order.
    bool failed() const;
    void close();

private:
    std::string file;
    std::ifstream fd;
    bool damaged = false;
};

// Writes a plain, gzip or bzip2 file as a standard stream. The compressed file is complete
// only after close() (which the destructor calls when the caller did not).
class ofile : public boost::iostreams::filtering_ostream {
public:
    ofile();
    ofile(std::string filename, bool binaryMode = false);
    ~ofile() override;
    ofile(const ofile&) = delete;
    ofile& operator=(const ofile&) = delete;

    // True when the file was opened and the chain is complete. Closes an open file first.
    bool open(std::string filename, bool binaryMode = false);
    std::string name() const { return file; }
    // Writes one length-prefixed record. A string of 2^31 bytes or more cannot be recorded:
    // nothing is written and the stream goes bad, so close() reports the loss.
    void writeString(const std::string& str);
    // Flushes, writes any compressor trailer and closes the file. False when anything
    // written since open was lost (a failed open, a full disk, a failed close), and for an
    // object never opened. A second call does nothing and repeats the first answer.
    bool close();

private:
    std::string file;
    std::ofstream fd;
    bool closedIntact = false;
};
