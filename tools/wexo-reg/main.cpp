// wexo-reg: reads and changes the product's registry from the command line, in the manner of
// reg.exe. It reaches the registry through the bridge like any other process (WEXO_RUNTIME_DIR
// names the driver host's runtime folder, default /run/wexo), so the host's rules for callers
// apply to it.
//
//   wexo-reg query KEY [/v NAME | /ve] [/s]
//   wexo-reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   wexo-reg delete KEY [/v NAME | /ve | /va] [/f]
//   wexo-reg export KEY FILE [/y]
//
// KEY is ROOT\path with ROOT one of HKLM, HKEY_LOCAL_MACHINE, HKU, HKEY_USERS. Options start with
// "/" or "-" and are read without regard to case. Without /f, a change that replaces or deletes
// something asks on a terminal and is refused otherwise.
//
// With WEXO_REGISTRY_FILE set it works on that store file directly instead, as an installer
// prepares the store before the driver host first starts (no host may have the file open then).
//
// Exit status: 0 done, 1 the operation failed (or was declined), 2 invalid arguments.
//
// export writes a .reg text file: the line "Windows Registry Editor Version 5.00", then for the key
// and each key below it a blank line, "[KEY]" and one line per value: "name"="text" for strings
// (\ and " escaped), "name"=dword:0000000a, and hex bytes (comma-separated, lower case, on one
// line) for the other types: hex: binary, hex(b): QWORD, hex(2): expandable string and hex(7):
// multi-string in their UTF-16LE bytes, hex(N): any other type, and also a string or DWORD whose
// bytes are not well-formed, so that nothing is lost. "@" names the default value. The file is
// UTF-8 (reg.exe writes UTF-16); it is written to FILE.tmp and renamed into place.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "os/bridge/registry_bridge.h"
#include "os/core/status.h"
#include "os/registry/registry.h"
#include "tools/pipeline/program_environment.h"

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kBadArguments = 2;

const char kUsage[] =
    "Usage:\n"
    "  wexo-reg query KEY [/v NAME | /ve] [/s]\n"
    "  wexo-reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  wexo-reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  wexo-reg export KEY FILE [/y]\n"
    "\n"
    "  KEY   ROOT\\SubKey, ROOT one of HKLM, HKEY_LOCAL_MACHINE, HKU, HKEY_USERS\n"
    "  TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY\n"
    "  /d    the data: a number for REG_DWORD and REG_QWORD (decimal or 0x hexadecimal), hex\n"
    "        digits for REG_BINARY, strings separated by \\0 (or by /s) for REG_MULTI_SZ\n"
    "  /f    change without asking; /y overwrite the export file\n";

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

int Syntax(const std::string& command, const std::string& why) {
    std::fprintf(stderr, "ERROR: Invalid syntax. %s\nType \"wexo-reg %s /?\" for usage.\n",
                 why.c_str(), command.c_str());
    return kBadArguments;
}

int Failure(uint32_t error) {
    if (error == os::ERROR_FILE_NOT_FOUND) {
        std::fprintf(stderr,
                     "ERROR: The system was unable to find the specified registry key or value.\n");
    } else {
        std::fprintf(stderr, "ERROR: %s. Error code = %lu.\n", os::SystemMessageText(error).c_str(),
                     static_cast<unsigned long>(error));
    }
    return kFailed;
}

int Done() {
    std::printf("The operation completed successfully.\n");
    return kDone;
}

// ---- Arguments ----

struct ARGUMENTS {
    std::string command;
    std::vector<std::string> positional;
    std::optional<std::string> valueName;  // /v NAME, or "" for /ve
    bool allValues = false;                // /va
    std::optional<std::string> type;
    std::optional<std::string> data;
    std::optional<std::string> separator;
    bool recurse = false;  // /s without an argument (query)
    bool force = false;
    bool overwriteFile = false;
    bool help = false;
};

// Only the known option names are options, so that a file name such as /tmp/out.reg is not.
bool IsOption(const std::string& text) {
    if (text.size() < 2 || (text[0] != '/' && text[0] != '-'))
        return false;
    const std::string name = Upper(text.substr(1));
    for (const char* option : {"?", "V", "VE", "VA", "T", "D", "S", "F", "Y"}) {
        if (name == option)
            return true;
    }
    return false;
}

// Empty on success, else what is wrong.
std::string Parse(int argc, char** argv, ARGUMENTS& args) {
    args.command = Upper(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (!IsOption(word)) {
            args.positional.push_back(word);
            continue;
        }
        const std::string option = Upper(word.substr(1));
        auto value = [&](std::optional<std::string>& into) -> bool {
            if (i + 1 >= argc || into.has_value())
                return false;
            into = argv[++i];
            return true;
        };
        if (option == "?") {
            args.help = true;
        } else if (option == "V") {
            if (args.valueName.has_value() || !value(args.valueName))
                return "/v needs one value name";
        } else if (option == "VE") {
            if (args.valueName.has_value())
                return "/v and /ve exclude each other";
            args.valueName = "";
        } else if (option == "VA" && args.command == "DELETE") {
            args.allValues = true;
        } else if (option == "T" && args.command == "ADD") {
            if (!value(args.type))
                return "/t needs a type";
        } else if (option == "D" && args.command == "ADD") {
            if (!value(args.data))
                return "/d needs data";
        } else if (option == "S" && args.command == "ADD") {
            if (!value(args.separator) || args.separator->size() != 1)
                return "/s needs one separator character";
        } else if (option == "S" && args.command == "QUERY") {
            args.recurse = true;
        } else if (option == "F" && (args.command == "ADD" || args.command == "DELETE")) {
            args.force = true;
        } else if (option == "Y" && args.command == "EXPORT") {
            args.overwriteFile = true;
        } else {
            return "Unknown option " + word + ".";
        }
    }
    if (args.help)
        return {};
    const size_t wanted = args.command == "EXPORT" ? 2 : 1;
    if (args.positional.size() != wanted)
        return args.positional.size() < wanted ? "Missing arguments." : "Too many arguments.";
    if (args.allValues && args.valueName.has_value())
        return "/va excludes /v and /ve";
    if (args.command == "EXPORT" && args.valueName.has_value())
        return "export takes no value name";
    return {};
}

struct KEY_NAME {
    os::PredefinedKey root = os::HKEY_LOCAL_MACHINE;
    std::string subKey;
};

bool ParseKey(const std::string& text, KEY_NAME& key) {
    const size_t slash = text.find('\\');
    const std::string root = Upper(text.substr(0, slash));
    if (root == "HKLM" || root == "HKEY_LOCAL_MACHINE") {
        key.root = os::HKEY_LOCAL_MACHINE;
    } else if (root == "HKU" || root == "HKEY_USERS") {
        key.root = os::HKEY_USERS;
    } else {
        return false;
    }
    key.subKey = slash == std::string::npos ? std::string() : text.substr(slash + 1);
    while (!key.subKey.empty() && key.subKey.back() == '\\')
        key.subKey.pop_back();
    return true;
}

// "\REGISTRY\MACHINE\X" as reg.exe names it: "HKEY_LOCAL_MACHINE\X".
std::string DisplayName(const os::RegKey& key) {
    std::string path = key.Path();
    const std::pair<const char*, const char*> roots[] = {
        {"\\REGISTRY\\MACHINE", "HKEY_LOCAL_MACHINE"}, {"\\REGISTRY\\USER", "HKEY_USERS"}};
    for (const auto& [kernel, win32] : roots) {
        const std::string prefix = kernel;
        if (Upper(path.substr(0, prefix.size())) == prefix)
            return win32 + path.substr(prefix.size());
    }
    return path;
}

// Asks on a terminal; refuses (with the way to force it) when there is none.
bool Confirm(const std::string& question) {
    if (::isatty(STDIN_FILENO) == 0) {
        std::fprintf(stderr, "ERROR: %s Add /f to do it without asking.\n", question.c_str());
        return false;
    }
    std::printf("%s (Yes/No)? ", question.c_str());
    std::fflush(stdout);
    std::string answer;
    std::getline(std::cin, answer);
    answer = Upper(answer);
    return answer == "Y" || answer == "YES";
}

// ---- Values as text ----

const char* TypeName(uint32_t type) {
    switch (type) {
        case os::REG_NONE:
            return "REG_NONE";
        case os::REG_SZ:
            return "REG_SZ";
        case os::REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case os::REG_BINARY:
            return "REG_BINARY";
        case os::REG_DWORD:
            return "REG_DWORD";
        case os::REG_MULTI_SZ:
            return "REG_MULTI_SZ";
        case os::REG_QWORD:
            return "REG_QWORD";
        default:
            return nullptr;
    }
}

std::string TypeText(uint32_t type) {
    const char* name = TypeName(type);
    return name != nullptr ? name : "REG_UNKNOWN(" + std::to_string(type) + ")";
}

uint64_t LittleEndian(const std::vector<uint8_t>& data) {
    uint64_t value = 0;
    for (size_t i = 0; i < data.size() && i < 8; ++i)
        value |= static_cast<uint64_t>(data[i]) << (8 * i);
    return value;
}

std::string Hex(const std::vector<uint8_t>& data, const char* separator, bool upper) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < data.size(); ++i) {
        if (i > 0)
            text += separator;
        std::snprintf(byte, sizeof byte, upper ? "%02X" : "%02x", data[i]);
        text += byte;
    }
    return text;
}

std::string DataText(const os::REG_VALUE& value) {
    char number[32];
    switch (value.type) {
        case os::REG_SZ:
        case os::REG_EXPAND_SZ:
            return os::RegStringFromData(value.data);
        case os::REG_DWORD:
            if (value.data.size() != 4)
                break;
            std::snprintf(number, sizeof number, "0x%x",
                          static_cast<unsigned>(LittleEndian(value.data)));
            return number;
        case os::REG_QWORD:
            if (value.data.size() != 8)
                break;
            std::snprintf(number, sizeof number, "0x%llx",
                          static_cast<unsigned long long>(LittleEndian(value.data)));
            return number;
        case os::REG_MULTI_SZ: {
            std::string text;
            for (const std::string& item : os::RegMultiStringFromData(value.data)) {
                if (!text.empty())
                    text += "\\0";
                text += item;
            }
            return text;
        }
        default:
            break;
    }
    return Hex(value.data, "", true);
}

std::string ValueLine(const std::string& name, const os::REG_VALUE& value) {
    return "    " + (name.empty() ? std::string("(Default)") : name) + "    " +
           TypeText(value.type) + "    " + DataText(value);
}

// The data of `/t type /d text`; nullopt with the reason when the text does not fit the type.
std::optional<std::vector<uint8_t>> ParseData(uint32_t type, const std::string& text,
                                              const std::string& separator, std::string* why) {
    switch (type) {
        case os::REG_SZ:
        case os::REG_EXPAND_SZ:
            return os::RegStringData(text);
        case os::REG_DWORD:
        case os::REG_QWORD: {
            if (text.empty() || text[0] == '-' || text[0] == '+') {
                *why = "\"" + text + "\" is not a number";
                return std::nullopt;
            }
            char* rest = nullptr;
            errno = 0;
            unsigned long long number = std::strtoull(text.c_str(), &rest, 0);
            if (errno != 0 || *rest != '\0' || (type == os::REG_DWORD && number > 0xFFFFFFFFull)) {
                *why = "\"" + text + "\" is not a number that fits " + TypeText(type);
                return std::nullopt;
            }
            return type == os::REG_DWORD ? os::RegDwordData(static_cast<uint32_t>(number))
                                         : os::RegQwordData(number);
        }
        case os::REG_MULTI_SZ: {
            std::vector<std::string> items;
            if (!text.empty()) {
                size_t start = 0;
                for (;;) {
                    size_t end = text.find(separator, start);
                    items.push_back(text.substr(start, end - start));
                    if (end == std::string::npos)
                        break;
                    start = end + separator.size();
                }
            }
            auto data = os::RegMultiStringData(items);
            if (!data)
                *why = "a REG_MULTI_SZ cannot hold an empty string";
            return data;
        }
        case os::REG_BINARY: {
            std::vector<uint8_t> bytes;
            if (text.size() % 2 != 0) {
                *why = "REG_BINARY data needs an even number of hex digits";
                return std::nullopt;
            }
            for (size_t i = 0; i < text.size(); i += 2) {
                char* rest = nullptr;
                const std::string pair = text.substr(i, 2);
                unsigned long byte = std::strtoul(pair.c_str(), &rest, 16);
                if (*rest != '\0' || pair[0] == '-' || pair[0] == '+' || pair[0] == ' ') {
                    *why = "\"" + text + "\" is not hex digits";
                    return std::nullopt;
                }
                bytes.push_back(static_cast<uint8_t>(byte));
            }
            return bytes;
        }
        default:
            *why = "unsupported type";
            return std::nullopt;
    }
}

std::optional<uint32_t> ParseType(const std::string& text) {
    const std::string upper = Upper(text);
    for (uint32_t type : {os::REG_SZ, os::REG_EXPAND_SZ, os::REG_MULTI_SZ, os::REG_DWORD,
                          os::REG_QWORD, os::REG_BINARY}) {
        if (upper == TypeName(type))
            return type;
    }
    return std::nullopt;
}

// ---- Commands ----

int QueryKey(const os::RegKey& key, bool recurse, bool first) {
    std::printf("%s%s\n", first ? "\n" : "", DisplayName(key).c_str());
    std::string name;
    os::REG_VALUE value;
    uint32_t error = os::ERROR_SUCCESS;
    for (uint32_t i = 0; (error = os::RegEnumValue(key, i, name, &value)) == os::ERROR_SUCCESS; ++i)
        std::printf("%s\n", ValueLine(name, value).c_str());
    if (error != os::ERROR_NO_MORE_ITEMS)
        return Failure(error);
    std::printf("\n");
    for (uint32_t i = 0; (error = os::RegEnumKeyEx(key, i, name)) == os::ERROR_SUCCESS; ++i) {
        os::RegKey sub;
        uint32_t opened = os::RegOpenKeyEx(key, name, sub);
        if (opened != os::ERROR_SUCCESS)
            return Failure(opened);
        if (recurse) {
            if (QueryKey(sub, true, false) != kDone)
                return kFailed;
        } else {
            std::printf("%s\n", DisplayName(sub).c_str());
        }
    }
    return error == os::ERROR_NO_MORE_ITEMS ? kDone : Failure(error);
}

int Query(const os::RegKey& key, const ARGUMENTS& args) {
    if (!args.valueName) {
        return QueryKey(key, args.recurse, true);
    }
    os::REG_VALUE value;
    uint32_t error = os::RegQueryValue(key, *args.valueName, value);
    if (error != os::ERROR_SUCCESS)
        return Failure(error);
    std::printf("\n%s\n%s\n\n", DisplayName(key).c_str(),
                ValueLine(*args.valueName, value).c_str());
    return kDone;
}

int Add(const KEY_NAME& name, const ARGUMENTS& args) {
    uint32_t type = os::REG_SZ;
    if (args.type) {
        auto parsed = ParseType(*args.type);
        if (!parsed)
            return Syntax("add", "Unknown type " + *args.type + ".");
        type = *parsed;
    }
    if (!args.valueName && (args.type || args.data))
        return Syntax("add", "/t and /d need /v or /ve.");
    if (args.separator && type != os::REG_MULTI_SZ)
        return Syntax("add", "/s is for REG_MULTI_SZ only.");
    std::string why;
    std::optional<std::vector<uint8_t>> data;
    if (args.valueName) {
        data = ParseData(type, args.data.value_or(""), args.separator.value_or("\\0"), &why);
        if (!data)
            return Syntax("add", "Invalid data: " + why + ".");
    }
    os::RegKey key;
    uint32_t error = os::RegCreateKeyEx(os::RegKey(name.root), name.subKey, key);
    if (error != os::ERROR_SUCCESS)
        return Failure(error);
    if (!args.valueName)
        return Done();
    os::REG_VALUE existing;
    error = os::RegQueryValue(key, *args.valueName, existing);
    if (error == os::ERROR_SUCCESS && !args.force &&
        !Confirm("Value " + (args.valueName->empty() ? std::string("(Default)") : *args.valueName) +
                 " exists, overwrite?")) {
        return kFailed;
    }
    error = os::RegSetValueEx(key, *args.valueName, type, *data);
    return error == os::ERROR_SUCCESS ? Done() : Failure(error);
}

// Deletes the key and everything below it, deepest first (a key with subkeys cannot be deleted).
uint32_t DeleteTree(const os::RegKey& key) {
    std::string name;
    for (;;) {
        uint32_t error = os::RegEnumKeyEx(key, 0, name);
        if (error == os::ERROR_NO_MORE_ITEMS)
            break;
        if (error != os::ERROR_SUCCESS)
            return error;
        os::RegKey sub;
        error = os::RegOpenKeyEx(key, name, sub);
        if (error == os::ERROR_SUCCESS)
            error = DeleteTree(sub);
        if (error != os::ERROR_SUCCESS)
            return error;
    }
    return os::RegDeleteKey(key, "");
}

int Delete(const KEY_NAME& name, const ARGUMENTS& args) {
    os::RegKey key;
    uint32_t error = os::RegOpenKeyEx(os::RegKey(name.root), name.subKey, key);
    if (error != os::ERROR_SUCCESS)
        return Failure(error);
    if (args.valueName) {
        os::REG_VALUE value;
        error = os::RegQueryValue(key, *args.valueName, value);
        if (error != os::ERROR_SUCCESS)
            return Failure(error);
        const std::string shown =
            args.valueName->empty() ? std::string("(Default)") : *args.valueName;
        if (!args.force && !Confirm("Delete the registry value " + shown + "?"))
            return kFailed;
        error = os::RegDeleteValue(key, *args.valueName);
        return error == os::ERROR_SUCCESS ? Done() : Failure(error);
    }
    if (args.allValues) {
        if (!args.force &&
            !Confirm("Delete all values under the registry key " + DisplayName(key) + "?")) {
            return kFailed;
        }
        std::string valueName;
        while ((error = os::RegEnumValue(key, 0, valueName)) == os::ERROR_SUCCESS) {
            error = os::RegDeleteValue(key, valueName);
            if (error != os::ERROR_SUCCESS)
                return Failure(error);
        }
        return error == os::ERROR_NO_MORE_ITEMS ? Done() : Failure(error);
    }
    if (name.subKey.empty()) {
        std::fprintf(stderr, "ERROR: A root key cannot be deleted.\n");
        return kFailed;
    }
    if (!args.force && !Confirm("Permanently delete the registry key " + DisplayName(key) + "?"))
        return kFailed;
    error = DeleteTree(key);
    return error == os::ERROR_SUCCESS ? Done() : Failure(error);
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// A REG_SZ that reads back exactly as written in the quoted form.
bool PlainString(const std::vector<uint8_t>& data, std::string* text) {
    *text = os::RegStringFromData(data);
    for (char c : *text) {
        if (static_cast<unsigned char>(c) < 0x20)
            return false;
    }
    return os::RegStringData(*text) == data;
}

std::string ExportLine(const std::string& name, const os::REG_VALUE& value) {
    const std::string left = name.empty() ? std::string("@") : Quoted(name);
    std::string text;
    if (value.type == os::REG_SZ && PlainString(value.data, &text))
        return left + "=" + Quoted(text);
    if (value.type == os::REG_DWORD && value.data.size() == 4) {
        char number[16];
        std::snprintf(number, sizeof number, "%08x",
                      static_cast<unsigned>(LittleEndian(value.data)));
        return left + "=dword:" + number;
    }
    char kind[24];
    if (value.type == os::REG_BINARY)
        std::snprintf(kind, sizeof kind, "hex");
    else
        std::snprintf(kind, sizeof kind, "hex(%x)", value.type);
    return left + "=" + kind + ":" + Hex(value.data, ",", false);
}

uint32_t ExportKey(const os::RegKey& key, std::ostream& out) {
    out << "\n[" << DisplayName(key) << "]\n";
    std::string name;
    os::REG_VALUE value;
    uint32_t error;
    for (uint32_t i = 0; (error = os::RegEnumValue(key, i, name, &value)) == os::ERROR_SUCCESS; ++i)
        out << ExportLine(name, value) << "\n";
    if (error != os::ERROR_NO_MORE_ITEMS)
        return error;
    for (uint32_t i = 0; (error = os::RegEnumKeyEx(key, i, name)) == os::ERROR_SUCCESS; ++i) {
        os::RegKey sub;
        error = os::RegOpenKeyEx(key, name, sub);
        if (error == os::ERROR_SUCCESS)
            error = ExportKey(sub, out);
        if (error != os::ERROR_SUCCESS)
            return error;
    }
    return error == os::ERROR_NO_MORE_ITEMS ? os::ERROR_SUCCESS : error;
}

int Export(const KEY_NAME& name, const ARGUMENTS& args) {
    const std::string& file = args.positional[1];
    if (!args.overwriteFile && ::access(file.c_str(), F_OK) == 0) {
        std::fprintf(stderr, "ERROR: The file %s exists. Add /y to overwrite it.\n", file.c_str());
        return kFailed;
    }
    os::RegKey key;
    uint32_t error = os::RegOpenKeyEx(os::RegKey(name.root), name.subKey, key);
    if (error != os::ERROR_SUCCESS)
        return Failure(error);
    const std::string temporary = file + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            std::fprintf(stderr, "ERROR: Cannot write %s.\n", temporary.c_str());
            return kFailed;
        }
        out << "Windows Registry Editor Version 5.00\n";
        error = ExportKey(key, out);
        out << "\n";
        out.flush();
        if (error == os::ERROR_SUCCESS && !out) {
            std::fprintf(stderr, "ERROR: Cannot write %s.\n", temporary.c_str());
            ::unlink(temporary.c_str());
            return kFailed;
        }
    }
    if (error != os::ERROR_SUCCESS) {
        ::unlink(temporary.c_str());
        return Failure(error);
    }
    if (std::rename(temporary.c_str(), file.c_str()) != 0) {
        std::fprintf(stderr, "ERROR: Cannot write %s.\n", file.c_str());
        ::unlink(temporary.c_str());
        return kFailed;
    }
    return Done();
}

int RunCommand(const ARGUMENTS& args, const KEY_NAME& name) {
    if (args.command == "QUERY") {
        os::RegKey key;
        uint32_t error = os::RegOpenKeyEx(os::RegKey(name.root), name.subKey, key);
        return error == os::ERROR_SUCCESS ? Query(key, args) : Failure(error);
    }
    if (args.command == "ADD")
        return Add(name, args);
    if (args.command == "DELETE")
        return Delete(name, args);
    return Export(name, args);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) == "/?" || std::string(argv[1]) == "-?") {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? kBadArguments : kDone;
    }
    ARGUMENTS args;
    const std::string command = argv[1];
    std::string wrong = Parse(argc, argv, args);
    if (args.command != "QUERY" && args.command != "ADD" && args.command != "DELETE" &&
        args.command != "EXPORT") {
        return Syntax(command, "Unknown operation " + command + ".");
    }
    if (args.help) {
        std::fputs(kUsage, stdout);
        return kDone;
    }
    if (!wrong.empty())
        return Syntax(command, wrong);
    KEY_NAME name;
    if (!ParseKey(args.positional[0], name))
        return Syntax(command, "Invalid key name " + args.positional[0] + ".");

    // An installer prepares a store file before the host first starts: then the file is used
    // directly (no host may have it open at the same time).
    if (wexo::pipeline::EnvironmentValue("WEXO_REGISTRY_FILE") != nullptr) {
        if (!wexo::pipeline::InstallRegistryFile("wexo-reg")) {
            return kFailed;
        }
        return RunCommand(args, name);
    }
    const std::string runtimeDir = os::bridge::RuntimeDirectory();
    const uint32_t connected = os::ConnectRegistryBridge(runtimeDir);
    if (connected != os::ERROR_SUCCESS) {
        std::fprintf(
            stderr, "ERROR: The registry cannot be reached: no host answers at %s/%s. %s.\n",
            runtimeDir.c_str(), os::kRegistrySocketName, os::SystemMessageText(connected).c_str());
        return kFailed;
    }
    return RunCommand(args, name);
}
