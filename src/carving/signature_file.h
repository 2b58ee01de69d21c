// Signature files on disk: the editor's file (created anew or opened to add to, records appended
// one Save at a time) and the two loaders that put a file's records into a carving engine.
#pragma once

#include "carving/carving_engine.h"
#include "carving/signature_record.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quillon {

class Progress;

inline constexpr char kDefaultSignatureFileName[] = "FileSetting.txt";
// Longest signature file the loaders accept.
inline constexpr std::uint64_t kMaxSignatureFileBytes = 1'048'576;
// Largest number-of-bytes-in-size the last record of a chosen file may claim.
inline constexpr std::int32_t kMaxBytesInSize = 8;
inline constexpr char kCannotOpenSignatureFileText[] = "Cannot open the selected file";
inline constexpr char kInvalidSignatureFileText[] = "Please select a valid file..";

// The file the signature editor writes to. It stays open from the choice until it is closed or
// the writer is destroyed.
class SignatureFileWriter {
public:
  SignatureFileWriter() = default;
  ~SignatureFileWriter();
  SignatureFileWriter(const SignatureFileWriter &) = delete;
  SignatureFileWriter &operator=(const SignatureFileWriter &) = delete;

  // Creates path anew, empty ("..." in the editor). On failure: "file can not be created".
  bool chooseSignatureFile(const std::filesystem::path &path, Progress &progress);
  // Opens path to add records after those it holds, creating it when it does not exist. On
  // failure: "file can not be created".
  bool openForAdding(const std::filesystem::path &path, Progress &progress);
  // Builds a record from the fields and appends it (the editor's Save). Messages: "Select valid
  // file to save the entries." without a file, the refusals of buildSignatureRecord, and
  // "everything initialized well....." on success.
  bool appendSignatureRecord(const SignatureFields &fields, Progress &progress);
  void close();

  [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
  [[nodiscard]] const std::filesystem::path &path() const { return path_; }

private:
  bool open(const std::filesystem::path &path, bool truncate, Progress &progress);

  int fd_ = -1;
  std::filesystem::path path_;
};

// The records of a signature file as the loaders read them.
struct SignatureFileContents {
  enum class Status { Ok, CannotOpen, Invalid };
  Status status = Status::CannotOpen;
  // The count comes from the last record's index (the last 173 bytes of the file) plus one,
  // bounded by the whole records the file holds.
  std::vector<SignatureRecord> records;
};

// Reads path. Invalid: shorter than one record or longer than kMaxSignatureFileBytes, or (with
// checkBytesInSize) a last record claiming more than kMaxBytesInSize bytes in size.
[[nodiscard]] SignatureFileContents readSignatureFile(const std::filesystem::path &path,
                                                      bool checkBytesInSize);

// Loads the default signature file into a new engine that replaces engine. A missing or
// unreadable file loads nothing and says nothing; an invalid one says "Please select a valid
// file..". Records the engine cannot use are left out, with one message naming them. Returns
// true when a new engine was made.
bool loadDefaultSignatures(std::unique_ptr<myJpg> &engine, const std::filesystem::path &path,
                           Progress &progress);

// Loads a chosen signature file into engine (a new one when there is none): "Cannot open the
// selected file" or "Please select a valid file.." when it cannot be used, and then false.
bool loadSignatureFile(std::unique_ptr<myJpg> &engine, const std::filesystem::path &path,
                       Progress &progress);

// The default signature file: FileSetting.txt in the folder of the running program, else in
// the installed data folder beside it (../share/quillon); the program folder's path when
// neither exists.
[[nodiscard]] std::filesystem::path defaultSignaturePath();

} // namespace quillon
