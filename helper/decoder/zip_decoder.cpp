// zip with libarchive: the one image member of the archive, decoded with
// whatever method it was stored with; from a file through the central
// directory (which states its size), from a pipe member after member.
//
// A candidate is a regular-file member other than what archivers add beside
// an image: macOS metadata (`__MACOSX/...`, `._*`, `.DS_Store`) and text and
// checksum files (.txt, .md, .html, .pdf, .asc, .sig, .md5, .sha1, .sha256,
// .sha512, SHA256SUMS and the like). An archive with no candidate, or with
// several, is refused, naming them.
#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <ranges>
#include <string>
#include <vector>

#include "formats.hpp"

namespace kelmar_vindle::decoder {

namespace {

// The central directory that libarchive reads whole before the first member:
// an archive beyond these is no image download, and its directory would
// take memory without bound.
constexpr std::uint64_t kMaxMembers = 10000;
constexpr std::uint64_t kMaxDirectoryBytes = std::uint64_t{4} << 20;
// How many of several candidates the error names.
constexpr std::size_t kNamesShown = 8;

constexpr std::size_t kReadSize = std::size_t{1} << 20;

struct ArchiveFree {
  void operator()(archive* reader) const { archive_read_free(reader); }
};
using ArchiveOwner = std::unique_ptr<archive, ArchiveFree>;

bool ends_with_folded(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  return std::ranges::equal(text.substr(text.size() - suffix.size()), suffix,
                            [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

bool is_candidate(archive_entry* entry) {
  if (archive_entry_filetype(entry) != AE_IFREG) return false;
  const char* path = archive_entry_pathname(entry);
  const std::string_view name = path ? path : "";
  const std::string_view base =
      name.substr(name.find_last_of('/') == std::string_view::npos ? 0 : name.find_last_of('/') + 1);
  if (name.starts_with("__MACOSX/") || base.starts_with("._") || base == ".DS_Store") return false;
  constexpr std::array<std::string_view, 14> kSideFiles{".txt",    ".md",     ".html", ".htm",  ".pdf",
                                                        ".asc",    ".sig",    ".gpg",  ".md5",  ".sha1",
                                                        ".sha256", ".sha512", "sums",  "readme"};
  return std::ranges::none_of(kSideFiles, [&](std::string_view suffix) { return ends_with_folded(base, suffix); });
}

std::string member_name(archive_entry* entry) {
  const char* path = archive_entry_pathname(entry);
  return path ? path : "(unnamed)";
}

std::string several_images(const std::vector<std::string>& names) {
  std::string text = "the zip archive holds several images: ";
  for (std::size_t i = 0; i < names.size() && i < kNamesShown; ++i) {
    text += (i ? ", " : "") + names[i].substr(0, 200);
  }
  if (names.size() > kNamesShown) text += " and " + std::to_string(names.size() - kNamesShown) + " more";
  return text;
}

std::string corrupt(archive* reader) {
  const char* detail = archive_error_string(reader);
  return std::string("the zip archive is corrupt") + (detail ? std::string(": ") + detail : std::string());
}

// Little-endian integers of the zip format.
std::uint64_t little(std::span<const std::byte> bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) value = value << 8 | std::to_integer<std::uint64_t>(bytes[i]);
  return value;
}

// Refuses a file whose central directory is larger than libarchive should
// hold, or empty, from its end records (zip64's where the classic one
// overflows).
TextResult<void> check_directory(const CompressedInput& input) {
  constexpr std::size_t kEndRecord = 22;
  constexpr std::size_t kTail = kEndRecord + 0xffff;  // the record and its longest comment
  const std::uint64_t size = input.file_size();
  const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(size, kTail));
  std::vector<std::byte> tail(length);
  if (auto read = input.read_exactly_at(size - length, tail); !read) return read;
  constexpr std::array<std::byte, 4> kEndSignature{std::byte{'P'}, std::byte{'K'}, std::byte{5}, std::byte{6}};
  const auto found = std::ranges::search(tail | std::views::reverse, kEndSignature | std::views::reverse);
  if (found.empty() || length < kEndRecord) return {};  // libarchive says what is wrong
  const std::size_t at = static_cast<std::size_t>(std::distance(found.end(), tail.rend()));
  if (at + kEndRecord > length) return {};
  const auto record = std::span<const std::byte>(tail).subspan(at, kEndRecord);
  std::uint64_t members = little(record.subspan(10, 2));
  std::uint64_t directory = little(record.subspan(12, 4));
  if ((members == 0xffff || directory == 0xffffffff) && at >= 20) {
    const auto locator = std::span<const std::byte>(tail).subspan(at - 20, 20);
    if (little(locator.subspan(0, 4)) == 0x07064b50) {
      std::array<std::byte, 56> end64{};
      if (auto read = input.read_exactly_at(little(locator.subspan(8, 8)), end64); !read) return read;
      if (little(std::span(end64).subspan(0, 4)) == 0x06064b50) {
        members = little(std::span(end64).subspan(32, 8));
        directory = little(std::span(end64).subspan(40, 8));
      }
    }
  }
  // libarchive takes an archive of nothing but its end record for no zip.
  if (members == 0) return std::unexpected(std::string("the zip archive holds no image"));
  if (members > kMaxMembers || directory > kMaxDirectoryBytes) {
    return std::unexpected("the zip archive holds too many members to be an image (" + std::to_string(members) + ")");
  }
  return {};
}

// What libarchive reads through: the input at offsets of its own.
class Source {
 public:
  explicit Source(CompressedInput& input)
      : input_(input), buffer_(std::make_unique_for_overwrite<std::byte[]>(kReadSize)) {}

  static la_ssize_t read(archive* reader, void* self, const void** data) {
    auto& source = *static_cast<Source*>(self);
    const auto into = std::span(source.buffer_.get(), kReadSize);
    auto count = source.input_.positional() ? source.input_.read_at(source.offset_, into) : source.input_.read(into);
    if (!count) {
      archive_set_error(reader, EIO, "%s", count.error().c_str());
      return -1;
    }
    source.offset_ += *count;
    *data = source.buffer_.get();
    return static_cast<la_ssize_t>(*count);
  }

  static la_int64_t seek(archive*, void* self, la_int64_t offset, int whence) {
    auto& source = *static_cast<Source*>(self);
    const auto size = static_cast<la_int64_t>(source.input_.file_size());
    const la_int64_t base = whence == SEEK_SET   ? 0
                            : whence == SEEK_CUR ? static_cast<la_int64_t>(source.offset_)
                                                 : size;
    if (offset < -base || offset > INT64_MAX - base) return ARCHIVE_FATAL;
    source.offset_ = static_cast<std::uint64_t>(base + offset);
    return static_cast<la_int64_t>(source.offset_);
  }

 private:
  CompressedInput& input_;
  std::unique_ptr<std::byte[]> buffer_;
  std::uint64_t offset_ = 0;
};

// An archive reader over `source`: the seekable zip reader (central
// directory first) for a file, the streamable one for a pipe.
TextResult<ArchiveOwner> open_archive(CompressedInput& input, Source& source) {
  ArchiveOwner reader(archive_read_new());
  if (!reader) return std::unexpected(std::string("the decoder ran out of memory"));
  if (input.positional()) {
    if (auto checked = check_directory(input); !checked) return std::unexpected(checked.error());
    archive_read_support_format_zip_seekable(reader.get());
    archive_read_set_seek_callback(reader.get(), Source::seek);
  } else {
    archive_read_support_format_zip_streamable(reader.get());
  }
  archive_read_set_read_callback(reader.get(), Source::read);
  archive_read_set_callback_data(reader.get(), &source);
  if (archive_read_open1(reader.get()) != ARCHIVE_OK) return std::unexpected(corrupt(reader.get()));
  return reader;
}

struct Image {
  std::uint64_t index;  // among the archive's members
  std::optional<std::uint64_t> size;
};

// Reads the headers of every member and picks the one image.
TextResult<Image> find_image(archive* reader) {
  std::vector<std::string> names;
  Image image{};
  archive_entry* entry = nullptr;
  for (std::uint64_t index = 0;; ++index) {
    const int ret = archive_read_next_header(reader, &entry);
    if (ret == ARCHIVE_EOF) break;
    if (ret != ARCHIVE_OK && ret != ARCHIVE_WARN) return std::unexpected(corrupt(reader));
    if (!is_candidate(entry)) continue;
    names.push_back(member_name(entry));
    image = {index, archive_entry_size_is_set(entry)
                        ? std::optional(static_cast<std::uint64_t>(archive_entry_size(entry)))
                        : std::nullopt};
  }
  if (names.empty()) return std::unexpected(std::string("the zip archive holds no image"));
  if (names.size() > 1) return std::unexpected(several_images(names));
  return image;
}

TextResult<void> copy_member(archive* reader, archive_entry* entry, DecodedOutput& output) {
  if (archive_entry_is_encrypted(entry)) {
    return std::unexpected("the image " + member_name(entry) + " in the zip archive is encrypted");
  }
  for (;;) {
    const auto room = output.room();
    const la_ssize_t count = archive_read_data(reader, room.data(), room.size());
    if (count == 0) return {};
    if (count < 0) return std::unexpected(corrupt(reader));
    if (auto written = output.produced(static_cast<std::size_t>(count)); !written) return written;
  }
}

TextResult<std::optional<std::uint64_t>> zip_stated_size(CompressedInput& input) {
  Source source(input);
  auto reader = open_archive(input, source);
  if (!reader) return std::unexpected(reader.error());
  auto image = find_image(reader->get());
  if (!image) return std::unexpected(image.error());
  return image->size;
}

TextResult<void> zip_decode(CompressedInput& input, DecodedOutput& output) {
  // From a file, the image is known before a byte is decoded.
  std::optional<std::uint64_t> chosen;
  if (input.positional()) {
    Source source(input);
    auto reader = open_archive(input, source);
    if (!reader) return std::unexpected(reader.error());
    auto image = find_image(reader->get());
    if (!image) return std::unexpected(image.error());
    chosen = image->index;
  }
  Source source(input);
  auto reader = open_archive(input, source);
  if (!reader) return std::unexpected(reader.error());
  // From a pipe, the first candidate is decoded as it comes, and any other
  // found after it fails the whole.
  std::vector<std::string> names;
  archive_entry* entry = nullptr;
  for (std::uint64_t index = 0;; ++index) {
    const int ret = archive_read_next_header(reader->get(), &entry);
    if (ret == ARCHIVE_EOF) break;
    if (ret != ARCHIVE_OK && ret != ARCHIVE_WARN) return std::unexpected(corrupt(reader->get()));
    if (chosen ? index != *chosen : !is_candidate(entry)) continue;
    names.push_back(member_name(entry));
    if (names.size() == 1) {
      if (auto copied = copy_member(reader->get(), entry, output); !copied) return copied;
    }
    if (chosen) return {};
  }
  if (names.empty()) return std::unexpected(std::string("the zip archive holds no image"));
  if (names.size() > 1) return std::unexpected(several_images(names));
  return {};
}

}  // namespace

FormatDecoder zip_decoder() { return {zip_stated_size, zip_decode}; }

}  // namespace kelmar_vindle::decoder
