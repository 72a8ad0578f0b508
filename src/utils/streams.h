// Text streams over a named file: input decompressed as its first bytes say, output compressed
// when the name ends in .gz or .bz2.
#pragma once

#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include <boost/iostreams/filtering_stream.hpp>

// What a file holds, told from its first bytes (and, for gzip, from the first decompressed
// ones). Only the first three can be read as text.
enum class file_content { plain, gzip, bzip2, bcf, bam, cram, xz, zstd };

// What a file that begins with these bytes holds.
file_content contentOf(const std::string& start);

// "BCF", "xz" and so on: how a message names the content.
const char* contentName(file_content content);

// Reads a plain, gzip (also several concatenated members, BGZF included) or bzip2 file as a
// standard stream, whatever its name. A file that cannot be opened, or whose content is not
// text (content() says what it is), reads as empty. A damaged, truncated or unreadable file
// ends the reading as a failed read too; failed() tells that apart from a clean end of file.
class ifile : public boost::iostreams::filtering_istream {
public:
    ifile();
    ifile(std::string filename, bool binaryMode = false);
    ~ifile() override;
    ifile(const ifile&) = delete;
    ifile& operator=(const ifile&) = delete;

    // True when the file was opened as text and the chain is complete. Closes an open file
    // first. False also for a file whose content is no compressed or plain text.
    bool open(std::string filename, bool binaryMode = false);
    std::string name() const { return file; }
    // What the last file opened holds; plain when it could not be opened at all.
    file_content content() const { return kind; }
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
    file_content kind = file_content::plain;
};

class descriptor_writer;

// Writes a plain, gzip or bzip2 file as a standard stream. The compressed file is complete
// only after close() (which the destructor calls when the caller did not). The bytes reach the
// file through write(2), so that a failure is known at the call that failed, with its errno.
class ofile : public boost::iostreams::filtering_ostream {
public:
    // When written text reaches the file: at every flush of the stream, so that whoever reads
    // the file as it grows (a pipe, a terminal) sees each line at once; or in blocks of
    // large_block bytes, with few system calls, for a file nobody reads before it is complete.
    enum class delivery { each_flush, large_blocks };
    static constexpr size_t large_block = size_t{256} << 10;
    // Called with the errno of the first write or close of the file that fails.
    using failure_handler = std::function<void(int error)>;

    ofile();
    ofile(std::string filename, bool binaryMode = false);
    ~ofile() override;
    ofile(const ofile&) = delete;
    ofile& operator=(const ofile&) = delete;

    // Creates or empties the file and writes to it at every flush (text and binary mode are
    // the same bytes on this system). True when the file was opened and the chain is
    // complete. Closes an open file first.
    bool open(std::string filename, bool binaryMode = false);
    // Writes to `descriptor`, already open, compressed as the name `filename` asks. The
    // descriptor stays open after close(), for its owner to sync and close.
    void open(int descriptor, std::string filename, delivery when, failure_handler onFailure);
    std::string name() const { return file; }
    // Writes one length-prefixed record. A string of 2^31 bytes or more cannot be recorded:
    // nothing is written and the stream goes bad, so close() reports the loss.
    void writeString(const std::string& str);
    // Flushes, writes any compressor trailer and closes the file. False when anything
    // written since open was lost (a failed open, a full disk, a failed close), and for an
    // object never opened. A second call does nothing and repeats the first answer.
    bool close();
    // The errno of the first failed open, write or close since the last open; 0 when none.
    int error() const;

private:
    void attach(int descriptor, bool owned, delivery when, failure_handler onFailure);

    std::string file;
    std::unique_ptr<descriptor_writer> writer;
    bool closedIntact = false;
};
