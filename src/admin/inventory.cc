#include "admin/inventory.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/args.h"
#include "core/status.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "store/catalog.h"
#include "core/file_io.h"
#include "store/journal_reader.h"

namespace orv {

namespace {

// One directory entry with what lstat says about it.
struct DirName {
  char name[ADMIN_FILE_NAME_SIZE];
  mode_t mode;
  uint64_t size;
  int64_t mtime;
  int64_t ctime;
  bool claimed;  // belongs to a backup or a partial
};

int compare_names(const void* a, const void* b) {
  return strcmp(static_cast<const DirName*>(a)->name, static_cast<const DirName*>(b)->name);
}

DirName* find_name(GrowArray<DirName>& names, const char* name) {
  DirName key;
  copy_text(key.name, sizeof key.name, name);
  return static_cast<DirName*>(bsearch(&key, names.data(), names.size(), sizeof(DirName), compare_names));
}

void claim(GrowArray<DirName>& names, const char* name) {
  DirName* n = find_name(names, name);
  if (n != nullptr) n->claimed = true;
}

bool has_image_extension(const char* name) {
  for (uint8_t t = 0; t <= BACKUP_INC; ++t) {
    if (strlen(name) > 5 && ends_with(name, image_extension(t))) return true;
  }
  return false;
}

const char* kind_text(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link (not followed)";
  if (S_ISDIR(mode)) return "a directory, not a regular file";
  if (S_ISCHR(mode)) return "a character device, not a regular file";
  if (S_ISBLK(mode)) return "a block device, not a regular file";
  if (S_ISFIFO(mode)) return "a named pipe, not a regular file";
  if (S_ISSOCK(mode)) return "a socket, not a regular file";
  return "not a regular file";
}

// A rename changes ctime but not mtime: an image renamed into place a moment
// ago counts as new even when its data was written long before.
int64_t changed_of(const DirName& n) { return n.mtime > n.ctime ? n.mtime : n.ctime; }

int64_t age_of(int64_t now, const DirName& n) {
  int64_t changed = changed_of(n);
  return now > changed ? now - changed : 0;
}

  // Reads a journal's header and last checkpoint; false when it cannot be
// read as a journal.
bool read_journal(const char* path, AdminPartial* p) {
  int raw = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (raw < 0) return false;
  UniqueFd fd(raw);
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::unique_ptr<BackupHeader> payload(new (std::nothrow) BackupHeader);
  if (!payload) return false;
  uint8_t head[JOURNAL_HEADER_SIZE];
  uint64_t first = 0;
  if (journal_read_header(fd.get(), head, payload.get(), &first) != STATUS_OK) return false;
  p->uuid = header_uuid(*payload);
  p->parent_uuid = header_parent_uuid(*payload);
  p->type = header_type(*payload);
  header_name(*payload, p->name);
  copy_text(p->image_name, sizeof p->image_name, journal_header_image_name(head));
  JournalScan scan;
  if (journal_scan(fd.get(), static_cast<uint64_t>(st.st_size), first, &scan) == STATUS_OK) {
    p->checkpoint_bytes = scan.checkpoint_image_size;
  }
  return true;
}


class Walker {
 public:
  Walker(Inventory* inv, const char* glob, char* error, size_t error_size)
      : inv_(inv), glob_(glob), error_(error), error_size_(error_size) {}

  int32_t walk_root(const char* root) {
    struct stat st;
    if (stat(root, &st) != 0) {
      char text[128];
      int32_t rc = status_from_errno(errno);
      set_error_text(error_, error_size_, "cannot open the storage root %s: %s", root, errno_text(text, sizeof text));
      return rc;
    }
    if (!S_ISDIR(st.st_mode)) {
      set_error_text(error_, error_size_, "the storage root %s is not a directory", root);
      return STATUS_INVALID;
    }
    int32_t rc = add_dir(root, "");
    if (rc != STATUS_OK) return rc;
    // Directories are appended while they are walked: a breadth-first walk
    // without recursion. The root's own listing must succeed.
    for (size_t i = 0; i < inv_->dirs.size(); ++i) {
      rc = walk_dir(static_cast<uint32_t>(i));
      if (rc == STATUS_NOMEM) return rc;
      if (rc != STATUS_OK) {
        if (i == 0) {
          set_error_text(error_, error_size_, "cannot read the storage root %s: %s (status=%d)", root,
                         status_text(rc), rc);
          return rc;
        }
        fprintf(stderr, "orv_admin: cannot read directory %s: %s (status=%d)\n", inv_->dirs[i].abs,
                status_text(rc), rc);
        inv_->unreadable_dirs += 1;
      }
    }
    return STATUS_OK;
  }

 private:
  int32_t add_dir(const char* abs, const char* rel) {
    AdminDir* d = inv_->dirs.add();
    if (d == nullptr) return STATUS_NOMEM;
    copy_text(d->abs, sizeof d->abs, abs);
    copy_text(d->rel, sizeof d->rel, rel);
    d->selected = admin_subdir_matches(glob_, rel);
    return STATUS_OK;
  }

  uint32_t depth_of(const char* rel) const {
    if (rel[0] == '\0') return 0;
    uint32_t depth = 1;
    for (const char* p = rel; *p != '\0'; ++p) depth += *p == '/';
    return depth;
  }

  // Lists one directory with lstat of every entry, sorted by name.
  int32_t list(const char* dir, GrowArray<DirName>* names) {
    DirReader reader;
    int32_t rc = reader.open(dir);
    if (rc != STATUS_OK) return rc;
    char path[STORE_PATH_SIZE + ADMIN_FILE_NAME_SIZE];
    while (const char* name = reader.next()) {
      if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
      if (strlen(name) >= ADMIN_FILE_NAME_SIZE) continue;
      snprintf(path, sizeof path, "%s/%s", dir, name);
      struct stat st;
      if (lstat(path, &st) != 0) continue;  // gone meanwhile
      DirName* n = names->add();
      if (n == nullptr) return STATUS_NOMEM;
      copy_text(n->name, sizeof n->name, name);
      n->mode = st.st_mode;
      n->size = static_cast<uint64_t>(st.st_size);
      n->mtime = st.st_mtim.tv_sec;
      n->ctime = st.st_ctim.tv_sec;
    }
    if (reader.status() != STATUS_OK) return reader.status();
    if (names->size() > 1) qsort(names->data(), names->size(), sizeof(DirName), compare_names);
    return STATUS_OK;
  }

  int32_t walk_dir(uint32_t index) {
    // Copies: the array of directories may move while subdirectories are added.
    char abs[STORE_PATH_SIZE];
    char rel[STORE_PATH_SIZE];
    copy_text(abs, sizeof abs, inv_->dirs[index].abs);
    copy_text(rel, sizeof rel, inv_->dirs[index].rel);
    bool selected = inv_->dirs[index].selected;
    GrowArray<DirName> names;
    int32_t rc = list(abs, &names);
    if (rc != STATUS_OK) return rc;
    if (selected) {
      inv_->dirs[index].backup_first = static_cast<uint32_t>(inv_->backups.size());
      inv_->dirs[index].partial_first = static_cast<uint32_t>(inv_->partials.size());
      rc = read_journals(index, abs, names);
      if (rc == STATUS_OK) rc = read_catalogs(index, abs, names);
      if (rc == STATUS_OK) rc = note_strays(index, names);
      if (rc != STATUS_OK) return rc;
      AdminDir& d = inv_->dirs[index];
      d.backup_count = static_cast<uint32_t>(inv_->backups.size()) - d.backup_first;
      d.partial_count = static_cast<uint32_t>(inv_->partials.size()) - d.partial_first;
    }
    if (depth_of(rel) >= ADMIN_MAX_DEPTH) return STATUS_OK;
    for (size_t i = 0; i < names.size(); ++i) {
      const DirName& n = names[i];
      if (!S_ISDIR(n.mode)) continue;
      char sub_abs[STORE_PATH_SIZE];
      char sub_rel[STORE_PATH_SIZE];
      int a = snprintf(sub_abs, sizeof sub_abs, "%s/%s", abs, n.name);
      int r = rel[0] == '\0' ? snprintf(sub_rel, sizeof sub_rel, "%s", n.name)
                             : snprintf(sub_rel, sizeof sub_rel, "%s/%s", rel, n.name);
      if (a < 0 || r < 0 || static_cast<size_t>(a) >= sizeof sub_abs || static_cast<size_t>(r) >= sizeof sub_rel) {
        continue;  // the server cannot name it either
      }
      rc = add_dir(sub_abs, sub_rel);
      if (rc != STATUS_OK) return rc;
    }
    return STATUS_OK;
  }

  int32_t add_odd(uint32_t dir, const DirName& n) {
    AdminStray* s = inv_->strays.add();
    if (s == nullptr) return STATUS_NOMEM;
    s->dir = dir;
    copy_text(s->file, sizeof s->file, n.name);
    s->kind = StrayKind::odd;
    s->changed = changed_of(n);
    s->age_seconds = age_of(inv_->now, n);
    copy_text(s->what, sizeof s->what, kind_text(n.mode));
    return STATUS_OK;
  }

  int32_t read_journals(uint32_t dir, const char* abs, GrowArray<DirName>& names) {
    char path[STORE_PATH_SIZE + ADMIN_FILE_NAME_SIZE];
    char other[ADMIN_FILE_NAME_SIZE + 8];
    for (size_t i = 0; i < names.size(); ++i) {
      DirName& n = names[i];
      if (strlen(n.name) < 5 || !ends_with(n.name, JOURNAL_SUFFIX)) continue;
      if (S_ISLNK(n.mode)) {  // reported with the other links; never read through
        inv_->dirs[dir].unreadable_journal = true;
        continue;
      }
      n.claimed = true;
      if (!S_ISREG(n.mode)) {
        inv_->dirs[dir].unreadable_journal = true;
        int32_t rc = add_odd(dir, n);
        if (rc != STATUS_OK) return rc;
        continue;
      }
      AdminPartial* p = inv_->partials.add();
      if (p == nullptr) return STATUS_NOMEM;
      p->dir = dir;
      copy_text(p->file, sizeof p->file, n.name);
      p->age_seconds = inv_->now > n.mtime ? inv_->now - n.mtime : 0;
      p->bytes = n.size;
      snprintf(path, sizeof path, "%s/%s", abs, n.name);
      p->readable = read_journal(path, p);
      if (!p->readable) inv_->dirs[dir].unreadable_journal = true;
      // The journal's own name gives the image name too ("<image>.part");
      // both spellings stay the partial's, under ".tmp" and final names.
      size_t stem = strlen(n.name) - JOURNAL_SUFFIX.size();
      snprintf(other, sizeof other, "%.*s", static_cast<int>(stem), n.name);
      if (!p->readable || !is_plain_file_name(p->image_name)) copy_text(p->image_name, sizeof p->image_name, other);
      const char* images[2] = {other, p->image_name};
      for (const char* image : images) {
        claim(names, image);
        snprintf(path, sizeof path, "%s%s", image, TMP_SUFFIX.data());
        DirName* tmp = find_name(names, path);
        if (tmp != nullptr && !tmp->claimed && S_ISREG(tmp->mode)) p->bytes += tmp->size;
        if (tmp != nullptr) tmp->claimed = true;
      }
    }
    return STATUS_OK;
  }

  int32_t read_catalogs(uint32_t dir, const char* abs, GrowArray<DirName>& names) {
    char path[STORE_PATH_SIZE + ADMIN_FILE_NAME_SIZE];
    char image[ADMIN_FILE_NAME_SIZE];
    std::unique_ptr<BackupHeader> header(new (std::nothrow) BackupHeader);
    if (!header) return STATUS_NOMEM;
    for (size_t i = 0; i < names.size(); ++i) {
      DirName& n = names[i];
      if (!is_catalog_name(n.name)) continue;
      if (S_ISLNK(n.mode)) {  // reported with the other links; never read through
        inv_->dirs[dir].unreadable_catalog = true;
        continue;
      }
      n.claimed = true;
      if (!S_ISREG(n.mode)) {
        // The server would try to read it as a backup: what it needs is unknown.
        inv_->dirs[dir].unreadable_catalog = true;
        int32_t rc = add_odd(dir, n);
        if (rc != STATUS_OK) return rc;
        continue;
      }
      snprintf(path, sizeof path, "%s/%s", abs, n.name);
      AdminBackup* b = inv_->backups.add();
      if (b == nullptr) return STATUS_NOMEM;
      b->dir = dir;
      copy_text(b->file, sizeof b->file, n.name);
      b->catalog_bytes = n.size;
      b->header_status = header_read(path, header.get());
      if (b->header_status == STATUS_NOT_FOUND) {  // deleted while we looked
        inv_->backups.pop();
        continue;
      }
      if (b->header_status == STATUS_OK) {
        b->uuid = header_uuid(*header);
        b->parent_uuid = header_parent_uuid(*header);
        b->type = header_type(*header);
        header_name(*header, b->name);
        b->created = header_created(*header);
        b->expires = get_i64_le(header->span(), HDR_EXPIRES_OFF);
        b->header_image_size = header_image_size(*header);
        b->entry_count = header_entry_count(*header);
      } else {
        inv_->dirs[dir].unreadable_catalog = true;
      }
      if (catalog_to_image_path(n.name, image, sizeof image) != STATUS_OK) continue;
      DirName* img = find_name(names, image);
      if (img == nullptr) continue;
      img->claimed = true;
      if (S_ISREG(img->mode)) {
        b->image_present = true;
        b->image_bytes = img->size;
      } else {
        b->image_odd = true;
      }
    }
    return STATUS_OK;
  }

  int32_t note_strays(uint32_t dir, GrowArray<DirName>& names) {
    for (size_t i = 0; i < names.size(); ++i) {
      const DirName& n = names[i];
      if (n.claimed || S_ISDIR(n.mode)) continue;
      bool image = has_image_extension(n.name);
      bool tmp = strlen(n.name) > TMP_SUFFIX.size() && ends_with(n.name, TMP_SUFFIX);
      if (S_ISLNK(n.mode) || (!S_ISREG(n.mode) && (image || tmp))) {
        int32_t rc = add_odd(dir, n);
        if (rc != STATUS_OK) return rc;
        continue;
      }
      if (!image && !tmp) continue;  // not a file of the store
      AdminStray* s = inv_->strays.add();
      if (s == nullptr) return STATUS_NOMEM;
      s->dir = dir;
      copy_text(s->file, sizeof s->file, n.name);
      s->kind = image ? StrayKind::orphan_image : StrayKind::orphan_tmp;
      s->bytes = n.size;
      s->changed = changed_of(n);
      s->age_seconds = age_of(inv_->now, n);
    }
    return STATUS_OK;
  }

  Inventory* inv_;
  const char* glob_;
  char* error_;
  size_t error_size_;
};

}  // namespace

bool admin_subdir_matches(const char* glob, const char* rel) {
  if (glob == nullptr) return true;
  if (strcmp(glob, "**") == 0) return true;
  size_t n = strlen(glob);
  if (n >= 3 && strcmp(glob + n - 3, "/**") == 0) {
    char prefix[STORE_PATH_SIZE];
    if (n - 3 >= sizeof prefix) return false;
    memcpy(prefix, glob, n - 3);
    prefix[n - 3] = '\0';
    // The prefix names one directory (itself a glob); everything below it matches.
    const char* p = rel;
    char head[STORE_PATH_SIZE];
    size_t depth_prefix = 1;
    for (const char* c = prefix; *c != '\0'; ++c) depth_prefix += *c == '/';
    size_t seen = 0;
    size_t len = 0;
    for (; *p != '\0'; ++p) {
      if (*p == '/' && ++seen == depth_prefix) break;
      ++len;
    }
    if (seen < depth_prefix && *p == '\0') return false;  // not below the prefix
    if (len >= sizeof head) return false;
    memcpy(head, rel, len);
    head[len] = '\0';
    return fnmatch(prefix, head, FNM_PATHNAME) == 0;
  }
  return fnmatch(glob, rel, FNM_PATHNAME) == 0;
}

int32_t inventory_load(const char* root, const char* subdir_glob, int64_t now, Inventory* inv, char* error,
                       size_t error_size) {
  if (error_size > 0) error[0] = '\0';
  inv->now = now;
  Walker w(inv, subdir_glob, error, error_size);
  int32_t rc = w.walk_root(root);
  if (rc == STATUS_NOMEM && error_size > 0 && error[0] == '\0') set_error_text(error, error_size, "out of memory");
  return rc;
}

int32_t inventory_journal_parents(const char* dir_abs, GrowArray<Uuid>* parents, bool* unreadable) {
  *unreadable = false;
  DirReader reader;
  int32_t rc = reader.open(dir_abs);
  if (rc != STATUS_OK) return rc;
  char path[STORE_PATH_SIZE + ADMIN_FILE_NAME_SIZE];
  while (const char* name = reader.next()) {
    if (strlen(name) < 5 || !ends_with(name, JOURNAL_SUFFIX)) continue;
    int n = snprintf(path, sizeof path, "%s/%s", dir_abs, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) continue;
    AdminPartial p{};
    if (!read_journal(path, &p)) {
      struct stat st;
      if (lstat(path, &st) == 0) *unreadable = true;  // not merely gone since
      continue;
    }
    Uuid* slot = parents->add();
    if (slot == nullptr) return STATUS_NOMEM;
    *slot = p.parent_uuid;
  }
  return reader.status();
}

bool inventory_path(const Inventory& inv, uint32_t dir, const char* file, char* out, size_t cap) {
  int n = snprintf(out, cap, "%s/%s", inv.dirs[dir].abs, file);
  return n >= 0 && static_cast<size_t>(n) < cap;
}

const char* admin_type_word(uint8_t type) {
  switch (type) {
    case BACKUP_FULL: return "full";
    case BACKUP_DIFF: return "diff";
    case BACKUP_INC: return "inc";
    default: return "other";
  }
}

const char* admin_header_problem(int32_t status) {
  switch (status) {
    case STATUS_CORRUPT: return "corrupt or incomplete header";
    case STATUS_UNSUPPORTED: return "newer format version";
    default: return "header cannot be read";
  }
}

}  // namespace orv
