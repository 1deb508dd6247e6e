// os_includes/posix/libVantor/MountTable.cpp
//
// The table comes from mnt_table_parse_mtab, which merges utab into the kernel's
// mountinfo, and the swap table from mnt_table_parse_swaps (/proc/swaps); an override's
// files are parsed as they are (mnt_table_parse_file guesses mountinfo or fstab form).
// The propagation of each mount is named from its optional fields.
#include <libVantor/MountTable.h>

#include <libmount/libmount.h>
#include <sys/sysmacros.h>

#include <memory>
#include <string>

namespace vantor::os {

struct TableFiles {
  static const MountTableOverride*& current() {
    static const MountTableOverride* active = nullptr;
    return active;
  }
  static const char* mountTable() { return current() ? current()->mountTable_.c_str() : nullptr; }
  static const char* swapTable() { return current() ? current()->swapTable_.c_str() : nullptr; }
};

MountTableOverride::MountTableOverride(const vrk::String& mountTable, const vrk::String& swapTable)
    : previous_(TableFiles::current()), mountTable_(mountTable), swapTable_(swapTable) {
  TableFiles::current() = this;
}

MountTableOverride::~MountTableOverride() { TableFiles::current() = previous_; }

namespace {

struct TableFree {
  void operator()(libmnt_table* table) const { mnt_unref_table(table); }
};
struct IterFree {
  void operator()(libmnt_iter* iter) const { mnt_free_iter(iter); }
};

// How mount(8) names the propagation that the optional fields ("shared:12 master:3") give.
vrk::String propagationOf(libmnt_fs* fs) {
  const char* fields = mnt_fs_get_optional_fields(fs);
  const std::string text = fields ? fields : "";
  if (text.find("unbindable") != std::string::npos) return "unbindable";
  const bool shared = text.find("shared:") != std::string::npos;
  if (text.find("master:") != std::string::npos) return shared ? "slave,shared" : "slave";
  return shared ? "shared" : "private";
}

MountEntry entryOf(libmnt_fs* fs) {
  MountEntry entry;
  const dev_t device = mnt_fs_get_devno(fs);
  entry.device = deviceNumber(major(device), minor(device));
  entry.root = mnt_fs_get_root(fs);
  entry.target = mnt_fs_get_target(fs);
  entry.fsType = mnt_fs_get_fstype(fs);
  entry.source = mnt_fs_get_source(fs);
  entry.options = mnt_fs_get_options(fs);
  entry.vfsOptions = mnt_fs_get_vfs_options(fs);
  entry.userOptions = mnt_fs_get_user_options(fs);
  entry.propagation = propagationOf(fs);
  return entry;
}

}  // namespace

bool readMountTable(vrk::Array<MountEntry>& entries) {
  std::unique_ptr<libmnt_table, TableFree> table(mnt_new_table());
  std::unique_ptr<libmnt_iter, IterFree> iter(mnt_new_iter(MNT_ITER_FORWARD));
  const char* file = TableFiles::mountTable();
  if (!table || !iter || (file ? mnt_table_parse_file(table.get(), file) : mnt_table_parse_mtab(table.get(), nullptr)) != 0) {
    return false;
  }
  libmnt_fs* fs = nullptr;
  while (mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) entries.append(entryOf(fs));
  return true;
}

vrk::Array<MountEntry> readMountTable() {
  vrk::Array<MountEntry> entries;
  if (!readMountTable(entries)) entries = vrk::Array<MountEntry>();
  return entries;
}

bool readSwapTable(vrk::Array<vrk::String>& sources) {
  std::unique_ptr<libmnt_table, TableFree> table(mnt_new_table());
  std::unique_ptr<libmnt_iter, IterFree> iter(mnt_new_iter(MNT_ITER_FORWARD));
  if (!table || !iter || mnt_table_parse_swaps(table.get(), TableFiles::swapTable()) != 0) return false;
  libmnt_fs* fs = nullptr;
  while (mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
    const char* source = mnt_fs_get_source(fs);
    if (source) sources.append(source);
  }
  return true;
}

vrk::Array<MountEntry> mountsOf(u64 device, const vrk::String& node) {
  vrk::Array<MountEntry> mine;
  for (const MountEntry& entry : readMountTable()) {
    if (entry.device == device || entry.source == node) mine.append(entry);
  }
  return mine;
}

}  // namespace vantor::os
