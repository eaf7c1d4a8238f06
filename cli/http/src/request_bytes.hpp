// The bytes of a request as they go out — head, body, then each body part — handed out a buffer
// at a time, files read as they are reached: a body of any size is held one chunk at a time.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "velmora/base/errors.hpp"
#include "velmora/http/client.hpp"

namespace velmora::http::detail {

// Descriptors the client opened itself for file parts given by path; closed when the call ends.
class OpenedFiles {
 public:
  OpenedFiles() = default;
  OpenedFiles(const OpenedFiles&) = delete;
  OpenedFiles& operator=(const OpenedFiles&) = delete;
  ~OpenedFiles() {
    for (const int fd : fds_) ::close(fd);
  }

  int open(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      const int err = errno;
      throw velmora::base::OSError(std::string(std::strerror(err)) + ": '" + path.string() + "'",
                                   err);
    }
    fds_.push_back(fd);
    return fd;
  }

 private:
  std::vector<int> fds_;
};

// The bytes of a request in order — head, body, body parts — handed out a buffer at a time,
// files read as they are reached.
class RequestBytes {
 public:
  /// `part_fds`: the descriptor to read for each file part of `request.body_parts`.
  RequestBytes(std::string head, const Request& request, const std::vector<int>& part_fds)
      : head_(std::move(head)) {
    pieces_.push_back({head_});
    pieces_.push_back({request.body});
    for (std::size_t i = 0; i < request.body_parts.size(); ++i) {
      const auto& part = request.body_parts[i];
      if (const auto* text = std::get_if<std::string>(&part)) {
        pieces_.push_back({*text});
      } else {
        pieces_.push_back({{}, &std::get<FileRegion>(part), part_fds.at(i)});
      }
    }
  }
  RequestBytes(const RequestBytes&) = delete;  // pieces_ points into head_
  RequestBytes& operator=(const RequestBytes&) = delete;

  /// Fills `out` as far as the bytes go; 0 once everything was handed out.
  std::size_t fill(char* out, std::size_t capacity) {
    std::size_t filled = 0;
    while (index_ < pieces_.size()) {
      const Piece& piece = pieces_[index_];
      const std::uint64_t size = piece.file ? piece.file->size : piece.bytes.size();
      // A full buffer still takes the pieces that have nothing left to give, so that the
      // check of an empty region at the end runs before the bytes that precede it go out.
      if (filled == capacity && done_ < size) break;
      const auto n =
          static_cast<std::size_t>(std::min<std::uint64_t>(capacity - filled, size - done_));
      if (piece.file) {
        read_file(piece, out + filled, n);
      } else if (n > 0) {
        std::memcpy(out + filled, piece.bytes.data() + done_, n);
      }
      filled += n;
      done_ += n;
      if (done_ == size) {
        if (piece.file && piece.file->to_end_of_file) check_file_ends(piece);
        ++index_;
        done_ = 0;
      }
    }
    return filled;
  }

 private:
  struct Piece {
    std::string_view bytes;
    const FileRegion* file = nullptr;
    int fd = -1;
  };

  static std::string name_of(const FileRegion& region) {
    return region.path.empty() ? "file" : region.path.string();
  }

  // Reports the size the file has now against the one the request announced.
  [[noreturn]] static void changed(const Piece& piece) {
    const std::uint64_t expected = piece.file->offset + piece.file->size;
    struct stat st {};
    const std::string now = ::fstat(piece.fd, &st) == 0
                                ? "size now " + std::to_string(st.st_size) + " bytes, "
                                : std::string();
    throw velmora::base::OSError(name_of(*piece.file) + " changed while it was being sent (" + now +
                                 "expected " + std::to_string(expected) + ")");
  }

  // Reads `n` bytes of the current file piece, from where the last read ended.
  void read_file(const Piece& piece, char* out, std::size_t n) const {
    std::size_t got = 0;
    while (got < n) {
      const auto at = static_cast<off_t>(piece.file->offset + done_ + got);
      const ssize_t r = ::pread(piece.fd, out + got, n - got, at);
      if (r > 0) {
        got += static_cast<std::size_t>(r);
      } else if (r == 0) {
        changed(piece);
      } else if (errno != EINTR) {
        read_failed(piece);
      }
    }
  }

  [[noreturn]] static void read_failed(const Piece& piece) {
    const int err = errno;
    throw velmora::base::OSError(
        std::string(std::strerror(err)) + ": '" + name_of(*piece.file) + "'", err);
  }

  // Runs before the region's last bytes are written, so a grown file never ends a request.
  static void check_file_ends(const Piece& piece) {
    char probe = 0;
    const auto at = static_cast<off_t>(piece.file->offset + piece.file->size);
    ssize_t r = 0;
    do {
      r = ::pread(piece.fd, &probe, 1, at);
    } while (r < 0 && errno == EINTR);
    if (r < 0) read_failed(piece);
    if (r > 0) changed(piece);
  }

  std::string head_;
  std::vector<Piece> pieces_;
  std::size_t index_ = 0;
  /// Bytes of pieces_[index_] already handed out.
  std::uint64_t done_ = 0;
};

inline std::uint64_t body_size(const Request& request) {
  std::uint64_t size = request.body.size();
  for (const auto& part : request.body_parts) {
    if (const auto* text = std::get_if<std::string>(&part)) {
      size += text->size();
    } else {
      size += std::get<FileRegion>(part).size;
    }
  }
  return size;
}

}  // namespace velmora::http::detail
