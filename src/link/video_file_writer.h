// One retrieved video being written into the export folder.
//
// The name a retrieval gives is taken relative to the export folder. It is
// refused when it is empty, absolute, contains a NUL byte, does not end in a
// file name, or its ".." parts would leave the folder. Sub-folders are made as
// needed, one level at a time through directory descriptors; every level
// (a symbolic link included) must resolve to a place inside the export
// folder, so nothing is created or written outside it.
//
// The bytes go to a hidden temporary file next to the final name (O_EXCL,
// mode 0644, named ".NAME.part-PID-N" and locked with flock while written);
// Commit closes it and renames it over the final name, so a half-written
// video never looks complete. A writer that is aborted or destroyed before
// Commit removes its temporary file; one left by a process that was killed
// is removed by RemoveStalePartialFiles at the next start.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dvrlink::link {

class VideoFileWriter {
 public:
  // The name's parts below the export folder (sub-folders, then the file
  // name); empty with the reason when the name is refused. Looks at the text
  // only.
  static std::vector<std::string> NameParts(const std::string& export_folder, const std::string& name,
                                            std::string& error);
  // Makes the sub-folders and the temporary file; nullptr with the reason
  // when the name is refused or the file cannot be made.
  static std::unique_ptr<VideoFileWriter> Open(const std::string& export_folder, const std::string& name,
                                               std::string& error);
  ~VideoFileWriter();
  VideoFileWriter(const VideoFileWriter&) = delete;
  VideoFileWriter& operator=(const VideoFileWriter&) = delete;

  // Writes bytes that must start at offset == Written(). False with the
  // reason when the offset is not the next byte or the write fails.
  bool Append(int64_t offset, std::string_view bytes, std::string& error);
  int64_t Written() const { return written_; }
  // Closes the file and gives it its final name (replacing an old file).
  // False with the reason, the temporary file removed, when that fails.
  bool Commit(std::string& error);
  // Removes the temporary file; no further writes.
  void Abort();
  // The final path, for messages.
  const std::string& Path() const { return path_; }

  // Removes, anywhere under the export folder, the temporary files of
  // writers that are gone: no lock is held on the file and the process named
  // in its name is not running (or is this one). Returns their paths.
  static std::vector<std::string> RemoveStalePartialFiles(const std::string& export_folder);

 private:
  VideoFileWriter() = default;

  int dir_fd_ = -1;
  int file_fd_ = -1;
  std::string temp_name_;
  std::string final_name_;
  std::string path_;
  int64_t written_ = 0;
};

}  // namespace dvrlink::link
