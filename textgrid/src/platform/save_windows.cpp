// Saving through a temporary file and an atomic replace, on Windows.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>
#include <string>

#include "textgrid/concurrency/cancel.hpp"
#include "textgrid/model/error.hpp"
#include "textgrid/model/failure.hpp"
#include "textgrid/writing/safe_save.hpp"
#include "windows_common.hpp"

namespace textgrid {
namespace {

// Cancellation is checked between pieces of this size.
constexpr DWORD write_piece = DWORD{1} << 20;
constexpr int temporary_name_attempts = 100;

[[noreturn]] void fail_write(std::string_view path, std::string_view reason, int errnum = 0) {
  throw SaveFailure("Failed to write TextGrid file " + std::string(path) + ": " + std::string(reason),
                    errnum);
}

[[noreturn]] void fail_write_os(std::string_view path, int errnum) {
  fail_write(path, std::string(os_error_kind(errnum)) + ", " + os_error(errnum).message, errnum);
}

[[noreturn]] void fail_write_system(std::string_view path) {
  fail_write_os(path, platform::errno_from_windows(::GetLastError()));
}

std::wstring directory_part(const std::wstring& path) {
  std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

// A new hidden file beside the target, deleted again unless it was moved into place.
class TemporaryFile {
 public:
  TemporaryFile(std::string_view shown, const std::wstring& target)
      : file_(INVALID_HANDLE_VALUE) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    std::wstring prefix = directory_part(target) + L"." + target.substr(directory_part(target).size());
    for (int attempt = 0; attempt < temporary_name_attempts; ++attempt) {
      wchar_t suffix[24];
      std::swprintf(suffix, 24, L".%012llx.tmp",
                    static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFULL));
      std::wstring name = prefix + suffix;
      HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
      if (handle != INVALID_HANDLE_VALUE) {
        path_ = std::move(name);
        file_.reset(handle);
        return;
      }
      if (::GetLastError() != ERROR_FILE_EXISTS) fail_write_system(shown);
    }
    fail_write_os(shown, EEXIST);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    file_.close();
    if (!moved_) ::DeleteFileW(path_.c_str());
  }

  void write(std::string_view shown, std::string_view text) {
    while (!text.empty()) {
      throw_if_cancelled();
      DWORD piece = static_cast<DWORD>(std::min<std::size_t>(text.size(), write_piece));
      DWORD written = 0;
      if (!::WriteFile(file_.get(), text.data(), piece, &written, nullptr)) fail_write_system(shown);
      if (written == 0) fail_write(shown, "failed to write whole buffer");
      text.remove_prefix(written);
    }
  }

  void flush(std::string_view shown) {
    if (!::FlushFileBuffers(file_.get())) fail_write_system(shown);
    if (!file_.close()) fail_write_system(shown);
  }

  // Puts the complete file in the target's place: ReplaceFileW keeps the old
  // file's attributes and permissions; MoveFileExW (write-through) serves a
  // new target and file systems where replacing is not possible.
  void commit(std::string_view shown, const std::wstring& target, bool exists) {
    throw_if_cancelled();
    if (exists && ::ReplaceFileW(target.c_str(), path_.c_str(), nullptr,
                                 REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
      moved_ = true;
      return;
    }
    if (!::MoveFileExW(path_.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      fail_write_system(shown);
    moved_ = true;
  }

 private:
  platform::Handle file_;
  std::wstring path_;
  bool moved_ = false;
};

}  // namespace

void save_file(std::string_view path, std::string_view text) {
  if (path.find('\0') != std::string_view::npos)
    fail_write(path, "file name contained an unexpected NUL byte");
  std::optional<std::wstring> target = platform::wide_path(path);
  if (!target) fail_write(path, "file name is not valid UTF-8");
  DWORD attributes = ::GetFileAttributesW(target->c_str());
  bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) fail_write_os(path, EISDIR);
  // A file the caller may not write stays untouched.
  if (exists && (attributes & FILE_ATTRIBUTE_READONLY)) fail_write_os(path, EACCES);
  TemporaryFile temporary(path, *target);
  temporary.write(path, text);
  temporary.flush(path);
  temporary.commit(path, *target, exists);
}

// Windows has no FIFOs at ordinary paths: every save goes through a temporary file.
struct FileSaver::State {
  std::string shown;
  std::wstring target;
  bool exists = false;
  std::optional<TemporaryFile> temporary;
  bool finished = false;
};

FileSaver::FileSaver(std::string_view path) : state_(std::make_unique<State>()) {
  if (path.find('\0') != std::string_view::npos)
    fail_write(path, "file name contained an unexpected NUL byte");
  State& state = *state_;
  state.shown = path;
  std::optional<std::wstring> target = platform::wide_path(path);
  if (!target) fail_write(path, "file name is not valid UTF-8");
  state.target = std::move(*target);
  DWORD attributes = ::GetFileAttributesW(state.target.c_str());
  state.exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (state.exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) fail_write_os(path, EISDIR);
  if (state.exists && (attributes & FILE_ATTRIBUTE_READONLY)) fail_write_os(path, EACCES);
  state.temporary.emplace(path, state.target);
}

FileSaver::~FileSaver() = default;

bool FileSaver::in_place() const noexcept { return false; }

void FileSaver::write(std::string_view piece) {
  State& state = *state_;
  if (state.finished) fail_write(state.shown, "the file was already finished");
  state.temporary->write(state.shown, piece);
}

void FileSaver::finish() {
  State& state = *state_;
  if (state.finished) fail_write(state.shown, "the file was already finished");
  state.finished = true;
  state.temporary->flush(state.shown);
  state.temporary->commit(state.shown, state.target, state.exists);
}

}  // namespace textgrid
