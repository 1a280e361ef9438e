#include "os/registry/registry_file.h"

#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "os/registry/registry_security.h"

namespace os::registry_file {
namespace {

constexpr size_t kDigestSize = SHA256_DIGEST_LENGTH;
static_assert(kHeaderSize == 8 + 4 + 4 + 8 + kDigestSize);

void PutU32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutU64(uint8_t* out, uint64_t value) {
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetU32(const uint8_t* in) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(in[i]) << (8 * i);
    return value;
}

uint64_t GetU64(const uint8_t* in) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value |= static_cast<uint64_t>(in[i]) << (8 * i);
    return value;
}

std::string UpperAscii(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

class Reader {
  public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    size_t Remaining() const { return bytes_.size() - pos_; }
    bool U32(uint32_t& value) {
        if (Remaining() < 4)
            return false;
        value = GetU32(bytes_.data() + pos_);
        pos_ += 4;
        return true;
    }
    bool U64(uint64_t& value) {
        if (Remaining() < 8)
            return false;
        value = GetU64(bytes_.data() + pos_);
        pos_ += 8;
        return true;
    }
    bool Take(size_t count, std::span<const uint8_t>& out) {
        if (Remaining() < count)
            return false;
        out = bytes_.subspan(pos_, count);
        pos_ += count;
        return true;
    }

  private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
};

// Smallest records, to bound counts before anything is reserved.
constexpr size_t kMinValueRecord = 4 + 4 + 4;
constexpr size_t kMinKeyRecord = 4 + 1 + 8 + 4 + 4;

ParseError ParseKey(Reader& reader, ImageKey& key, uint32_t depth, uint32_t version) {
    if (depth > kMaxDepth)
        return ParseError::Malformed;
    uint32_t nameLength = 0;
    std::span<const uint8_t> name;
    if (!reader.U32(nameLength) || !reader.Take(nameLength, name) ||
        !reader.U64(key.lastWriteTime)) {
        return ParseError::Truncated;
    }
    key.name.assign(name.begin(), name.end());
    if (!IsValidKeyName(key.name))
        return ParseError::Malformed;
    if (version >= 2) {
        uint32_t securityLength = 0;
        std::span<const uint8_t> security;
        if (!reader.U32(securityLength) || !reader.Take(securityLength, security))
            return ParseError::Truncated;
        REG_SECURITY decoded;
        if (!security.empty() && !DecodeRegSecurity(security, &decoded))
            return ParseError::Malformed;
        key.security.assign(security.begin(), security.end());
    }

    uint32_t valueCount = 0;
    if (!reader.U32(valueCount))
        return ParseError::Truncated;
    if (valueCount > reader.Remaining() / kMinValueRecord)
        return ParseError::Truncated;
    key.values.resize(valueCount);
    std::set<std::string> valueNames;
    for (ImageValue& value : key.values) {
        uint32_t length = 0, dataLength = 0;
        std::span<const uint8_t> valueName, data;
        if (!reader.U32(length) || !reader.Take(length, valueName) || !reader.U32(value.type) ||
            !reader.U32(dataLength) || !reader.Take(dataLength, data)) {
            return ParseError::Truncated;
        }
        value.name.assign(valueName.begin(), valueName.end());
        value.data.assign(data.begin(), data.end());
        if (!IsValidValueName(value.name) || !valueNames.insert(UpperAscii(value.name)).second) {
            return ParseError::Malformed;
        }
    }

    uint32_t subkeyCount = 0;
    if (!reader.U32(subkeyCount))
        return ParseError::Truncated;
    if (subkeyCount > reader.Remaining() / kMinKeyRecord)
        return ParseError::Truncated;
    key.subkeys.resize(subkeyCount);
    std::set<std::string> subkeyNames;
    for (ImageKey& subkey : key.subkeys) {
        ParseError error = ParseKey(reader, subkey, depth + 1, version);
        if (error != ParseError::None)
            return error;
        if (!subkeyNames.insert(UpperAscii(subkey.name)).second)
            return ParseError::Malformed;
    }
    return ParseError::None;
}

}  // namespace

size_t Utf16Length(std::string_view utf8) {
    size_t units = 0;
    for (size_t i = 0; i < utf8.size();) {
        auto lead = static_cast<uint8_t>(utf8[i]);
        size_t length = lead < 0x80           ? 1
                        : (lead >> 5) == 0x6  ? 2
                        : (lead >> 4) == 0xE  ? 3
                        : (lead >> 3) == 0x1E ? 4
                                              : 1;
        if (i + length > utf8.size())
            length = 1;
        units += length == 4 ? 2 : 1;
        i += length;
    }
    return units;
}

bool IsValidKeyName(std::string_view name) {
    return !name.empty() && Utf16Length(name) <= kMaxKeyNameChars &&
           name.find('\\') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool IsValidValueName(std::string_view name) {
    return Utf16Length(name) <= kMaxValueNameChars && name.find('\0') == std::string_view::npos;
}

const char* ParseErrorText(ParseError error) {
    switch (error) {
        case ParseError::None:
            return "no error";
        case ParseError::Truncated:
            return "the file is truncated";
        case ParseError::BadMagic:
            return "the file is not a registry store";
        case ParseError::NewerVersion:
            return "the file was written by a newer format version";
        case ParseError::DigestMismatch:
            return "the file's contents do not match their digest";
        case ParseError::Malformed:
            return "the file's records are malformed";
    }
    return "unknown error";
}

ImageWriter::ImageWriter() {
    bytes_.resize(kHeaderSize);
}

void ImageWriter::U32(uint32_t value) {
    uint8_t buffer[4];
    PutU32(buffer, value);
    bytes_.insert(bytes_.end(), buffer, buffer + 4);
}

void ImageWriter::U64(uint64_t value) {
    uint8_t buffer[8];
    PutU64(buffer, value);
    bytes_.insert(bytes_.end(), buffer, buffer + 8);
}

void ImageWriter::Bytes(std::span<const uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

void ImageWriter::BeginKey(std::string_view name, uint64_t lastWriteTime, uint32_t valueCount,
                           std::span<const uint8_t> security) {
    U32(static_cast<uint32_t>(name.size()));
    Bytes({reinterpret_cast<const uint8_t*>(name.data()), name.size()});
    U64(lastWriteTime);
    U32(static_cast<uint32_t>(security.size()));
    Bytes(security);
    U32(valueCount);
}

void ImageWriter::Value(std::string_view name, uint32_t type, std::span<const uint8_t> data) {
    U32(static_cast<uint32_t>(name.size()));
    Bytes({reinterpret_cast<const uint8_t*>(name.data()), name.size()});
    U32(type);
    U32(static_cast<uint32_t>(data.size()));
    Bytes(data);
}

void ImageWriter::SubkeyCount(uint32_t count) {
    U32(count);
}

std::vector<uint8_t> ImageWriter::Finish() {
    uint8_t* header = bytes_.data();
    std::memcpy(header, kMagic, sizeof(kMagic));
    PutU32(header + 8, kVersion);
    PutU32(header + 12, 0);
    PutU64(header + 16, bytes_.size() - kHeaderSize);
    SHA256(bytes_.data() + kHeaderSize, bytes_.size() - kHeaderSize, header + 24);
    return std::move(bytes_);
}

ParseError ParsePayload(std::span<const uint8_t> payload, ImageKey& root, uint32_t version) {
    Reader reader(payload);
    ParseError error = ParseKey(reader, root, 0, version);
    if (error != ParseError::None)
        return error;
    return reader.Remaining() == 0 ? ParseError::None : ParseError::Malformed;
}

ParseError ParseImage(std::span<const uint8_t> image, ImageKey& root) {
    if (image.size() < sizeof(kMagic))
        return ParseError::Truncated;
    if (std::memcmp(image.data(), kMagic, sizeof(kMagic)) != 0)
        return ParseError::BadMagic;
    if (image.size() < kHeaderSize)
        return ParseError::Truncated;
    uint32_t version = GetU32(image.data() + 8);
    if (version > kVersion)
        return ParseError::NewerVersion;
    if (version < 1)
        return ParseError::Malformed;
    uint64_t payloadLength = GetU64(image.data() + 16);
    if (payloadLength > image.size() - kHeaderSize)
        return ParseError::Truncated;
    if (payloadLength < image.size() - kHeaderSize)
        return ParseError::Malformed;
    auto payload = image.subspan(kHeaderSize);
    uint8_t digest[kDigestSize];
    SHA256(payload.data(), payload.size(), digest);
    if (std::memcmp(digest, image.data() + 24, kDigestSize) != 0) {
        return ParseError::DigestMismatch;
    }
    return ParsePayload(payload, root, version);
}

namespace {

int WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

}  // namespace

int WriteFileAtomically(const std::string& path, std::span<const uint8_t> image, WriteStop stop) {
    const std::string temporary = path + ".tmp";
    if (stop == WriteStop::FailOpen)
        return EIO;
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    size_t length = stop == WriteStop::MidWrite ? image.size() / 2 : image.size();
    int error = WriteAll(fd, image.data(), length);
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && (stop == WriteStop::MidWrite || stop == WriteStop::BeforeRename)) {
        return EIO;  // the process "died" here: the temporary file stays as it is
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
        return error;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
        ::unlink(temporary.c_str());
        return error;
    }
    // The rename is durable only once the folder is flushed. The new file is in place whatever
    // happens now, so a failure here cannot be undone and is not reported as one: the caller's
    // memory must keep matching the file.
    int folder = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return 0;
}

int ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = 0;
    uint8_t buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof(buffer));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        if (got == 0)
            break;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    ::close(fd);
    return error;
}

}  // namespace os::registry_file
