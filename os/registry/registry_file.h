// The registry's file: the byte image of a whole store and its atomic replacement on disk. Used by
// os/registry; exposed so that tests can check the format and its failure handling directly.
//
// Image format, version 2 (all integers little-endian):
//   header (56 bytes)
//     magic          8 bytes  "WXREGSTO"
//     version        u32      2
//     reserved       u32      0
//     payload length u64      bytes of payload that follow the header
//     payload digest 32 bytes SHA-256 of the payload
//   payload: one key record, the root (named "REGISTRY"); nothing may follow it
//     key   := u32 name length, name bytes (UTF-8), u64 last write time (100 ns since 1601),
//              u32 security length, security bytes (EncodeRegSecurity; none: the key has the
//              descriptor its place gives it), u32 value count, value records, u32 subkey
//              count, key records
//     value := u32 name length, name bytes (UTF-8), u32 type, u32 data length, data bytes
// Version 1, which stores no descriptors (every key has the one its place gives it), is still
// read. Value data is stored exactly as set. A reader refuses any image whose header, digest,
// lengths, names (empty, too long, with a backslash or NUL, duplicated within a key ignoring ASCII
// case), descriptors or nesting (deeper than 512 keys) are wrong, or that has bytes after the
// root.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace os::registry_file {

constexpr char kMagic[8] = {'W', 'X', 'R', 'E', 'G', 'S', 'T', 'O'};
constexpr uint32_t kVersion = 2;
constexpr size_t kHeaderSize = 56;
constexpr uint32_t kMaxDepth = 512;
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

struct ImageValue {
    std::string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

struct ImageKey {
    std::string name;
    uint64_t lastWriteTime = 0;
    std::vector<uint8_t> security;  // empty: the descriptor of its place
    std::vector<ImageValue> values;
    std::vector<ImageKey> subkeys;
};

// Builds an image by walking a tree: BeginKey, its values, its subkeys (each a BeginKey ... EndKey
// of its own), EndKey. Counts are given up front because the format carries them first.
class ImageWriter {
  public:
    ImageWriter();
    void BeginKey(std::string_view name, uint64_t lastWriteTime, uint32_t valueCount,
                  std::span<const uint8_t> security = {});
    void Value(std::string_view name, uint32_t type, std::span<const uint8_t> data);
    void SubkeyCount(uint32_t count);
    void EndKey() {}
    // The complete image: header with digest, then the payload.
    std::vector<uint8_t> Finish();

  private:
    void U32(uint32_t value);
    void U64(uint64_t value);
    void Bytes(std::span<const uint8_t> bytes);
    std::vector<uint8_t> bytes_;
};

enum class ParseError {
    None,
    Truncated,       // shorter than the header says, or a record runs past the end
    BadMagic,        // not a registry file
    NewerVersion,    // written by a newer format; must not be replaced
    DigestMismatch,  // payload does not match its digest
    Malformed,       // lengths, names, nesting or trailing bytes are wrong
};

const char* ParseErrorText(ParseError error);

// Parses a whole image. On failure `root` is unspecified.
ParseError ParseImage(std::span<const uint8_t> image, ImageKey& root);
// Parses a payload alone (no header, no digest): what ParseImage does after the digest matched.
ParseError ParsePayload(std::span<const uint8_t> payload, ImageKey& root,
                        uint32_t version = kVersion);

// Number of UTF-16 code units of UTF-8 text (how Windows counts name lengths); malformed bytes
// count one unit each.
size_t Utf16Length(std::string_view utf8);
// Whether `name` is a valid key name component / value name.
bool IsValidKeyName(std::string_view name);
bool IsValidValueName(std::string_view name);

// Where the file writer may be made to stop (tests of crash safety).
enum class WriteStop { None, FailOpen, MidWrite, BeforeRename };

// Replaces `path` with `image` atomically: writes path + ".tmp", flushes it, renames it over
// `path` and flushes the folder. Returns 0 or an errno value; with a stop other than None it
// returns EIO at that point, leaving the files as a crash there would.
int WriteFileAtomically(const std::string& path, std::span<const uint8_t> image,
                        WriteStop stop = WriteStop::None);

// Reads a whole file. Returns 0, ENOENT when it does not exist, or another errno value.
int ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes);

}  // namespace os::registry_file
