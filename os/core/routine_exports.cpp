#include "os/core/routine_exports.h"

#include <map>
#include <mutex>
#include <string>

namespace os {
namespace {

struct EXPORT_TABLE {
    std::mutex lock;
    std::map<std::string, EXPORTED_ROUTINE, std::less<>> routines;
};

EXPORT_TABLE& Table() {
    static EXPORT_TABLE* table = new EXPORT_TABLE();  // exports run before main and may outlive it
    return *table;
}

}  // namespace

void ExportRoutine(std::string_view name, EXPORTED_ROUTINE routine) {
    EXPORT_TABLE& table = Table();
    std::lock_guard guard(table.lock);
    table.routines[std::string(name)] = routine;
}

EXPORTED_ROUTINE FindExportedRoutine(std::string_view name) {
    EXPORT_TABLE& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.routines.find(name);
    return it == table.routines.end() ? nullptr : it->second;
}

}  // namespace os
