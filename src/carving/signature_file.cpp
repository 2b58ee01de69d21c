// Signature files: the editor's writer and the loaders.
#include "carving/signature_file.h"

#include "core/progress.h"
#include "core/text_convert.h"
#include "core/text_format.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon {

namespace {

// Unusable records named one by one in the load message before the rest are only counted.
constexpr std::size_t kNamedProblems = 10;

bool writeAll(int fd, const std::uint8_t *data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Adds the usable records to engine; one message lists those left out.
void addRecords(myJpg &engine, const std::vector<SignatureRecord> &records, Progress &progress) {
  std::vector<std::string> problems;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (const auto problem = ruleProblem(records[i])) {
      problems.push_back(format("record %zu (%s): %s", i, utf16ToUtf8(records[i].extension).c_str(),
                                problem->c_str()));
      continue;
    }
    engine.addSignature(records[i]);
  }
  if (problems.empty()) {
    return;
  }
  std::string text =
      format("%zu signature(s) of the file cannot be used and are left out:", problems.size());
  for (std::size_t i = 0; i < problems.size() && i < kNamedProblems; ++i) {
    text += "\n" + problems[i];
  }
  if (problems.size() > kNamedProblems) {
    text += format("\n... and %zu more", problems.size() - kNamedProblems);
  }
  progress.inform(text);
}

} // namespace

SignatureFileWriter::~SignatureFileWriter() { close(); }

void SignatureFileWriter::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool SignatureFileWriter::open(const std::filesystem::path &path, bool truncate,
                               Progress &progress) {
  close();
  const int flags = O_RDWR | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0);
  fd_ = ::open(path.c_str(), flags, 0644);
  if (fd_ < 0) {
    path_.clear();
    progress.inform(kFileNotCreatedText);
    return false;
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    close();
    path_.clear();
    progress.inform(kFileNotCreatedText);
    return false;
  }
  path_ = path;
  return true;
}

bool SignatureFileWriter::chooseSignatureFile(const std::filesystem::path &path,
                                              Progress &progress) {
  return open(path, true, progress);
}

bool SignatureFileWriter::openForAdding(const std::filesystem::path &path, Progress &progress) {
  return open(path, false, progress);
}

bool SignatureFileWriter::appendSignatureRecord(const SignatureFields &fields, Progress &progress) {
  if (fd_ < 0) {
    progress.inform(kNoFileText);
    return false;
  }
  const off_t length = ::lseek(fd_, 0, SEEK_END);
  if (length < 0) {
    progress.inform(format("the file cannot be written: %s", std::strerror(errno)));
    return false;
  }
  const BuiltRecord built = buildSignatureRecord(fields, static_cast<std::uint64_t>(length));
  if (!built.record) {
    progress.inform(built.message);
    return false;
  }
  const SignatureRecordBytes bytes = encodeSignatureRecord(*built.record);
  if (!writeAll(fd_, bytes.data(), bytes.size())) {
    const std::string why = std::strerror(errno);
    // Leave no partial record behind: it would shift every record added after it.
    (void)::ftruncate(fd_, length);
    progress.inform("the file cannot be written: " + why);
    return false;
  }
  progress.inform(kRecordSavedText);
  return true;
}

SignatureFileContents readSignatureFile(const std::filesystem::path &path, bool checkBytesInSize) {
  SignatureFileContents out;
  std::error_code ec;
  // Only a regular file: a folder cannot be read and a pipe would block the page.
  if (!std::filesystem::is_regular_file(path, ec)) {
    return out;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return out;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff length = in.tellg();
  out.status = SignatureFileContents::Status::Invalid;
  if (length < static_cast<std::streamoff>(kSignatureRecordSize) ||
      length > static_cast<std::streamoff>(kMaxSignatureFileBytes)) {
    return out;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
  in.seekg(0);
  if (!in.read(reinterpret_cast<char *>(bytes.data()), length)) {
    out.status = SignatureFileContents::Status::CannotOpen;
    return out;
  }
  const SignatureRecord last =
      decodeSignatureRecord(Bytes(bytes).subspan(bytes.size() - kSignatureRecordSize));
  if (checkBytesInSize && last.bytesInSize > kMaxBytesInSize) {
    return out;
  }
  const std::size_t count =
      std::min<std::size_t>(std::size_t{last.recordIndex} + 1, bytes.size() / kSignatureRecordSize);
  for (std::size_t i = 0; i < count; ++i) {
    out.records.push_back(decodeSignatureRecord(
        Bytes(bytes).subspan(i * kSignatureRecordSize, kSignatureRecordSize)));
  }
  out.status = SignatureFileContents::Status::Ok;
  return out;
}

bool loadDefaultSignatures(std::unique_ptr<myJpg> &engine, const std::filesystem::path &path,
                           Progress &progress) {
  const SignatureFileContents contents = readSignatureFile(path, false);
  if (contents.status == SignatureFileContents::Status::CannotOpen) {
    return false;
  }
  if (contents.status == SignatureFileContents::Status::Invalid) {
    progress.inform(kInvalidSignatureFileText);
    return false;
  }
  engine = std::make_unique<myJpg>();
  addRecords(*engine, contents.records, progress);
  return true;
}

bool loadSignatureFile(std::unique_ptr<myJpg> &engine, const std::filesystem::path &path,
                       Progress &progress) {
  const SignatureFileContents contents = readSignatureFile(path, true);
  if (contents.status == SignatureFileContents::Status::CannotOpen) {
    progress.inform(kCannotOpenSignatureFileText);
    return false;
  }
  if (contents.status == SignatureFileContents::Status::Invalid) {
    progress.inform(kInvalidSignatureFileText);
    return false;
  }
  if (!engine) {
    engine = std::make_unique<myJpg>();
  }
  addRecords(*engine, contents.records, progress);
  return true;
}

std::filesystem::path defaultSignaturePath() {
  std::error_code ec;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::filesystem::path folder =
      ec ? std::filesystem::current_path(ec) : program.parent_path();
  std::filesystem::path beside = folder / kDefaultSignatureFileName;
  if (std::filesystem::exists(beside, ec)) {
    return beside;
  }
  std::filesystem::path installed =
      folder.parent_path() / "share" / "quillon" / kDefaultSignatureFileName;
  if (std::filesystem::exists(installed, ec)) {
    return installed;
  }
  return beside;
}

} // namespace quillon
