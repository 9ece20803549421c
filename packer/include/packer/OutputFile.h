// A file written under a temporary name in its final folder and renamed
// into place only when complete, so a failed run leaves no output behind.
#pragma once

#include <string>

namespace tavlin::packer {

class OutputFile {
public:
    // Reserves a fresh temporary name beside `finalPath`; check ok().
    explicit OutputFile(std::string finalPath);
    // Removes the temporary file unless it was committed.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool ok() const { return !temp_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& tempPath() const { return temp_; }
    const std::string& finalPath() const { return final_; }

    // Gives the file the mode a new file gets (0666 less `umask`) and
    // renames it over the final path. False with error().
    bool Commit(unsigned umask);

private:
    std::string final_;
    std::string temp_;
    std::string error_;
    bool committed_ = false;
};

// From now on SIGINT, SIGTERM and SIGHUP remove the temporary files of the
// OutputFiles not yet committed before the process ends by the signal.
// Call once, before any OutputFile exists.
void RemoveOutputFilesOnSignals();

// Writes `data` to `path` through an OutputFile.
bool WriteFileAtomically(const std::string& path, const std::string& data, unsigned umask, std::string& error);

}  // namespace tavlin::packer
