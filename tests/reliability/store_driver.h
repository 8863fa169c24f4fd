// Drives backups through the real store code the way a connection's session
// does (new backup, blocks with checkpoints, drops, interruption,
// continuation, end), keeps a model of what each backup must look like at
// every checkpoint and at its end, logs what was acknowledged to the agent
// and when (counted in simulated file-system operations), and checks a
// store directory after a power loss or a failure against that log:
//
//  - acknowledged means durable: a checkpoint acknowledged (an ACK's
//    durable_seq, a CONTINUE_OK) is still there, as a partial that loads or
//    as the finished backup;
//  - finished means durable: a backup answered with END_OK has a catalog
//    that loads and verifies and an image that matches it;
//  - one state per backup: absent, a partial that loads to exactly one of
//    its checkpoints, or finished; never a catalog without its image, never
//    a partial and a catalog at once;
//  - honest continuation: a partial loads to a checkpoint at or after the
//    acknowledged one, its image is cut back to that checkpoint, and it can
//    be continued and checkpointed again.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/file_io.h"
#include "core/status.h"
#include "protocol/formats.h"
#include "reliability/sim_fs.h"
#include "store/catalog.h"
#include "store/image_stream.h"
#include "store/journal.h"
#include "store/names.h"
#include "store/partial.h"
#include "store/partial_lock.h"
#include "store/scan.h"

namespace orv::rel {

// What a partial of a backup loads to at one checkpoint.
struct CpState {
  uint64_t start_op = 0;               // operations done before it began
  uint64_t image_size = 0;
  std::vector<CatalogEntry> entries;   // without dropped entries, in key order
  std::vector<uint8_t> image;          // the image's bytes up to image_size
};

enum class Ack {
  kCheckpoint,  // an ACK carrying a new durable_seq
  kContinue,    // CONTINUE_OK, stating the checkpoint it resumed
  kEnd,         // END_OK
  kRemoved,     // DISCARD_PARTIAL asked for, or expiry about to remove it
  kAbandoned,   // the journal failed and was deleted (no answer; by design)
};

struct Event {
  uint64_t op;  // operations done when it happened
  Ack kind;
  int cp;       // checkpoint index for kCheckpoint and kContinue
};

struct BackupModel {
  std::string name;
  uint8_t type = BACKUP_FULL;
  uint8_t uuid_tag = 0;
  uint8_t parent_tag = 0;
  size_t chain_length = 1;  // items of its chain, itself included
  std::vector<CpState> cps;
  std::vector<Event> events;
  bool end_started = false;  // the catalog may appear from here on
  std::vector<CatalogEntry> final_entries;
  std::vector<uint8_t> final_image;
};

// What had been acknowledged for one backup by a moment.
struct Acked {
  int cp = -1;
  bool end = false;
  bool removed = false;
  bool abandoned = false;
};

inline Uuid tag_uuid(uint8_t tag) {
  Uuid id;
  if (tag != 0) {
    for (size_t i = 0; i < UUID_SIZE; ++i) id.bytes[i] = static_cast<uint8_t>(tag * 3 + i);
  }
  return id;
}

inline bool same_entries(const std::vector<CatalogEntry>& a, const CatalogEntry* b, uint64_t n) {
  if (a.size() != n) return false;
  return n == 0 || memcmp(a.data(), b, n * CATALOG_ENTRY_SIZE) == 0;
}

// The entries a catalog or a loaded partial holds for a session's list:
// dropped ones left out, the rest in key order (keys are unique here).
inline std::vector<CatalogEntry> catalog_form(const std::vector<CatalogEntry>& list) {
  std::vector<CatalogEntry> out;
  for (const CatalogEntry& e : list) {
    if ((e.bytes[ENT_FLAGS_OFF] & ENTRY_FLAG_DROPPED) == 0) out.push_back(e);
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const CatalogEntry& x, const CatalogEntry& y) { return entry_key(x) < entry_key(y); });
  return out;
}

// Block data that differs by key and generation.
inline std::vector<uint8_t> block_data(uint64_t key, uint32_t gen, uint32_t len) {
  std::vector<uint8_t> d(len);
  uint64_t x = key * 0x9E3779B97F4A7C15ull + gen * 0xBF58476D1CE4E5B9ull + 1;
  for (uint32_t i = 0; i < len; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    d[i] = static_cast<uint8_t>(x);
  }
  return d;
}

class Model {
 public:
  // fs: the simulated disk whose operation count times the events; null on
  // the real file system (every event then happens at 0).
  Model(const sim::SimFs* fs, std::string dir) : fs_(fs), dir_(std::move(dir)) {}

  const std::string& dir() const { return dir_; }
  void set_dir(std::string dir) { dir_ = std::move(dir); }
  // The store's settings of the driven sessions: a checkpoint every 8 KiB
  // of data; the time rule never fires.
  const StoreSettings& settings() const { return settings_; }
  void set_fs(const sim::SimFs* fs) { fs_ = fs; }
  uint64_t now() const { return fs_ != nullptr ? fs_->ops() : 0; }

  int add(const std::string& name, uint8_t type, uint8_t uuid_tag, uint8_t parent_tag) {
    BackupModel b;
    b.name = name;
    b.type = type;
    b.uuid_tag = uuid_tag;
    b.parent_tag = parent_tag;
    for (const BackupModel& other : backups_) {
      if (parent_tag != 0 && other.uuid_tag == parent_tag) b.chain_length = other.chain_length + 1;
    }
    backups_.push_back(std::move(b));
    return static_cast<int>(backups_.size()) - 1;
  }

  BackupModel& at(int b) { return backups_[static_cast<size_t>(b)]; }
  const std::vector<BackupModel>& backups() const { return backups_; }

  void event(int b, Ack kind, int cp = -1) { at(b).events.push_back(Event{now(), kind, cp}); }

  // Problems the driver saw while running (a continuation that resumed at
  // no known checkpoint).
  std::vector<std::string>& live_problems() { return live_; }

  static Acked acked_by(const BackupModel& b, uint64_t k) {
    Acked a;
    for (const Event& e : b.events) {
      if (e.op > k) continue;
      switch (e.kind) {
        case Ack::kCheckpoint:
        case Ack::kContinue:
          a.cp = std::max(a.cp, e.cp);
          break;
        case Ack::kEnd:
          a.end = true;
          break;
        case Ack::kRemoved:
          a.removed = true;
          break;
        case Ack::kAbandoned:
          a.abandoned = true;
          break;
      }
    }
    return a;
  }

 private:
  const sim::SimFs* fs_;
  std::string dir_;
  std::vector<BackupModel> backups_;
  std::vector<std::string> live_;
  StoreSettings settings_ = [] {
    StoreSettings s;
    s.checkpoint_bytes = 8192;
    s.checkpoint_seconds = 3600;
    return s;
  }();
};

// One backup as a connection's session holds it, driving the store in the
// session's order and with its failure rules.
class Writer {
 public:
  Writer(Model* m, int b) : m_(m), b_(b), header_(std::make_unique<BackupHeader>()) { journal_init(&journal_); }
  ~Writer() { session_end(); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  BackupModel& model() { return m_->at(b_); }
  bool journaling() const { return journaling_; }
  bool done() const { return done_; }
  const std::string& journal_path() const { return journal_path_; }

  // BEGIN: names, the temporary image, the lock, the journal. A nonzero
  // result is a refusal; a journal that cannot be created only means the
  // backup goes on without one.
  int32_t begin(int64_t created) {
    BackupModel& bm = model();
    BackupHeaderFields f;
    f.block_size = 4096;
    f.type = bm.type;
    f.uuid = tag_uuid(bm.uuid_tag);
    f.parent_uuid = tag_uuid(bm.parent_tag);
    f.created = created;
    f.source_size = 1 << 20;
    snprintf(f.name, sizeof f.name, "%s", bm.name.c_str());
    encode_backup_header(f, header_.get());
    char cat[STORE_PATH_SIZE];
    char img[STORE_PATH_SIZE];
    int32_t rc = backup_paths(m_->dir().c_str(), bm.name.c_str(), bm.type, created, cat, sizeof cat, img, sizeof img);
    if (rc != STATUS_OK) return rc;
    catalog_path_ = cat;
    image_path_ = img;
    tmp_path_ = image_path_ + ".tmp";
    journal_path_ = image_path_ + ".part";
    int fd = -1;
    rc = file_create(tmp_path_.c_str(), FILE_MODE, &fd);
    if (rc != STATUS_OK) {
      (void)file_remove(tmp_path_.c_str());  // the empty reservation
      return rc;
    }
    image_fd_ = fd;
    start_stream();
    rc = partial_lock_create(journal_path_.c_str(), -1);
    if (rc == STATUS_OK) {
      rc = journal_create_reserved(&journal_, journal_path_.c_str(), *header_, catalog_path_.c_str(),
                                   image_path_.c_str());
      if (rc != STATUS_OK) partial_unlock(journal_path_.c_str());
    }
    if (rc != STATUS_OK) journal_close(&journal_);
    journaling_ = rc == STATUS_OK;
    return STATUS_OK;
  }

  // CONTINUE of this backup's partial. A nonzero result is a refusal (the
  // session would stay in wait_begin).
  int32_t resume() {
    BackupModel& bm = model();
    char path[PATH_SIZE];
    int32_t rc = partial_find_by_uuid(m_->dir().c_str(), tag_uuid(bm.uuid_tag), path, sizeof path);
    if (rc != STATUS_OK) return rc;
    rc = partial_lock_try(path, -1);
    if (rc != STATUS_OK) return rc;
    auto p = std::make_unique<PartialBackup>();
    rc = partial_load(path, p.get());
    if (rc != STATUS_OK) {
      partial_unlock(path);
      return rc;
    }
    journal_path_ = path;
    image_path_ = m_->dir() + "/" + p->image_name;
    catalog_path_ = m_->dir() + "/" + p->catalog_name;
    tmp_path_ = image_path_ + ".tmp";
    int fd = -1;
    rc = partial_prepare_image(tmp_path_.c_str(), p->checkpoint_image_size, &fd);
    if (rc == STATUS_OK) {
      rc = journal_reopen(&journal_, path, *p);
      if (rc != STATUS_OK) (void)file_close(fd);  // refusal: the partial stays as it was
    }
    if (rc != STATUS_OK) {
      partial_free(p.get());
      partial_unlock(path);
      return rc;
    }
    memcpy(header_->bytes, p->header.bytes, BACKUP_HEADER_SIZE);
    image_fd_ = fd;
    start_stream();
    image_size_ = p->checkpoint_image_size;
    entries_.assign(p->entries, p->entries + p->entry_count);
    index_.clear();
    for (size_t i = 0; i < entries_.size(); ++i) index_[entry_key(entries_[i])] = i;
    int cp = -1;
    for (size_t j = bm.cps.size(); j-- > 0;) {
      const CpState& s = bm.cps[j];
      if (s.image_size == image_size_ && same_entries(s.entries, p->entries, p->entry_count)) {
        cp = static_cast<int>(j);
        break;
      }
    }
    partial_free(p.get());
    if (cp < 0) {
      m_->live_problems().push_back(bm.name + ": continuation resumed at a state no checkpoint had");
      image_.clear();
    } else {
      image_ = bm.cps[static_cast<size_t>(cp)].image;
    }
    journaling_ = true;
    resumed_ = true;
    m_->event(b_, Ack::kContinue, cp);
    return STATUS_OK;
  }

  // BLOCK. A nonzero result ends the session (the image could not be written).
  int32_t block(uint64_t key, uint32_t len, bool no_data, uint32_t gen) {
    CatalogEntryFields f;
    f.key = key;
    f.agent_u32 = static_cast<uint32_t>(key * 31 + gen);
    f.agent_byte = static_cast<uint8_t>(gen);
    f.agent_tail[0] = static_cast<uint8_t>(key);
    f.agent_tail[31] = static_cast<uint8_t>(gen);
    if (no_data) {
      f.flags = ENTRY_FLAG_NO_DATA;
      len = 0;
    } else {
      std::vector<uint8_t> data = block_data(key, gen, len);
      int32_t rc = write_image(data);
      if (rc != STATUS_OK) return rc;
      f.offset = image_size_;
      f.length = len;
      image_.insert(image_.end(), data.begin(), data.end());
      image_size_ += len;
    }
    CatalogEntry e;
    encode_catalog_entry(f, &e);
    auto it = resumed_ ? index_.find(key) : index_.end();
    if (it != index_.end()) {
      entries_[it->second] = e;
    } else {
      if (resumed_) index_[key] = entries_.size();
      entries_.push_back(e);
    }
    if (journaling_) {
      if (journal_add_block(&journal_, e, len) != STATUS_OK) {
        journal_failure();
      } else if (journal_checkpoint_due(journal_, m_->settings())) {
        return checkpoint();
      }
    }
    return STATUS_OK;
  }

  // DROP_ENTRIES. A nonzero result ends the session (a block written
  // earlier could not be).
  int32_t drop(const std::vector<uint64_t>& keys) {
    int32_t rc = stream_.failure();
    if (rc != STATUS_OK) return rc;
    if (resumed_) {
      for (uint64_t key : keys) {
        auto it = index_.find(key);
        if (it == index_.end()) continue;
        CatalogEntry* e = &entries_[it->second];
        if (entry_dropped(*e)) continue;
        entry_set_flags(e, static_cast<uint8_t>(entry_flags(*e) | ENTRY_FLAG_DROPPED));
        if (journaling_ && journal_add_drop(&journal_, key) != STATUS_OK) journal_failure();
      }
    }
    if (journaling_ && journal_checkpoint_due(journal_, m_->settings())) return checkpoint();
    return STATUS_OK;
  }

  // END. A nonzero result is "failed to finalize backup" (session error).
  int32_t end() {
    BackupModel& bm = model();
    std::vector<CatalogEntry> expect = catalog_form(entries_);
    uint64_t n = entries_compact(entries_.data(), entries_.size());
    entries_.resize(n);
    entries_sort(entries_.data(), n);
    if (!same_entries(expect, entries_.data(), n)) {
      m_->live_problems().push_back(bm.name + ": compact and sort disagree with the model");
    }
    int32_t rc = stream_.stop();
    if (rc != STATUS_OK) return rc;  // a block could not be written
    rc = file_sync(image_fd_);
    int32_t close_rc = file_close(image_fd_);
    image_fd_ = -1;
    if (rc == STATUS_OK) rc = close_rc;
    if (rc != STATUS_OK) return rc;
    bm.end_started = true;
    bm.final_entries = expect;
    bm.final_image = image_;
    rc = file_rename(tmp_path_.c_str(), image_path_.c_str());
    if (rc != STATUS_OK) return rc;
    header_set_image_size(header_.get(), image_size_);
    rc = catalog_write(catalog_path_.c_str(), FILE_MODE, *header_, entries_.data(), entries_.size());
    if (rc != STATUS_OK) {
      // The partial stays whole: the image gets its temporary name back.
      (void)file_rename(image_path_.c_str(), tmp_path_.c_str());
      return rc;
    }
    if (journaling_) {
      journal_close(&journal_);
      (void)file_remove(journal_path_.c_str());  // a leftover is never a partial
      partial_unlock(journal_path_.c_str());
      journaling_ = false;
    }
    done_ = true;
    m_->event(b_, Ack::kEnd);
    return STATUS_OK;
  }

  // The connection ends: a last checkpoint when journalling, the lock
  // released, the image closed. The files stay as a partial.
  void session_end() {
    int32_t written = stream_.stop();
    if (journaling_) {
      if (image_fd_ >= 0 && written == STATUS_OK) {
        push_cp();
        (void)journal_checkpoint(&journal_, image_fd_, image_size_);  // earlier checkpoints stand either way
      }
      journal_close(&journal_);
      partial_unlock(journal_path_.c_str());
      journaling_ = false;
    }
    if (image_fd_ >= 0) {
      (void)file_close(image_fd_);  // an unfinished image stays as it is
      image_fd_ = -1;
    }
  }

 private:
  int push_cp() {
    BackupModel& bm = model();
    CpState s;
    s.start_op = m_->now();
    s.image_size = image_size_;
    s.entries = catalog_form(entries_);
    s.image = image_;
    bm.cps.push_back(std::move(s));
    return static_cast<int>(bm.cps.size()) - 1;
  }

  // The session's image stream: block data written on a thread of its own,
  // as the server does (a stream that cannot start leaves writes inline).
  void start_stream() {
    if (stream_.start(tmp_path_.c_str(), image_fd_, kStreamBuffer) != STATUS_OK) return;
  }

  // Writes a block at the end of the image: through the stream from one of
  // its buffers, placed as the server's receive places it.
  int32_t write_image(const std::vector<uint8_t>& data) {
    if (!stream_.started()) {
      size_t written = 0;
      int32_t rc = file_pwrite_all(image_fd_, data.data(), data.size(), image_size_, &written);
      if (rc == STATUS_OK && written != data.size()) rc = STATUS_IO;
      return rc;
    }
    int32_t rc = stream_.failure();
    if (rc != STATUS_OK) return rc;
    std::span<uint8_t> buf = stream_.buffer();
    size_t at = static_cast<size_t>(image_size_ % DIRECT_IO_ALIGN);
    memcpy(buf.data() + at, data.data(), data.size());
    return stream_.write(std::span<const uint8_t>(buf.data() + at, data.size()), image_size_);
  }

  // A nonzero result ends the session: a block could not be written, and
  // nothing is checkpointed.
  int32_t checkpoint() {
    int32_t rc = stream_.drain();
    if (rc != STATUS_OK) return rc;
    int cp = push_cp();
    uint64_t durable_before = journal_.durable_image_size;
    if (journal_checkpoint(&journal_, image_fd_, image_size_) != STATUS_OK) {
      // A failed checkpoint must not move what the journal calls durable.
      if (journal_.durable_image_size != durable_before) {
        m_->live_problems().push_back(model().name + ": failed checkpoint moved the durable image size");
      }
      journal_failure();
      return STATUS_OK;
    }
    m_->event(b_, Ack::kCheckpoint, cp);
    return STATUS_OK;
  }

  void journal_failure() {
    m_->event(b_, Ack::kAbandoned);
    journal_close(&journal_);
    partial_unlock(journal_path_.c_str());
    (void)file_remove(journal_path_.c_str());  // a journal that may miss records is not offered again
    journaling_ = false;
  }

  Model* m_;
  int b_;
  std::unique_ptr<BackupHeader> header_;
  static constexpr size_t kStreamBuffer = 1 << 20;  // more than any block of the scripts
  std::string catalog_path_, image_path_, tmp_path_, journal_path_;
  int image_fd_ = -1;
  ImageStream stream_;
  uint64_t image_size_ = 0;
  std::vector<CatalogEntry> entries_;
  std::unordered_map<uint64_t, size_t> index_;
  std::vector<uint8_t> image_;
  JournalWriter journal_;
  bool journaling_ = false;
  bool resumed_ = false;
  bool done_ = false;
};

// DISCARD_PARTIAL of backup b. From the request on the agent no longer
// counts on the partial, so it may vanish from then on.
inline void discard(Model* m, int b) {
  m->event(b, Ack::kRemoved);
  char path[PATH_SIZE];
  if (partial_find_by_uuid(m->dir().c_str(), tag_uuid(m->at(b).uuid_tag), path, sizeof path) == STATUS_OK &&
      partial_lock_try(path, -1) == STATUS_OK) {
    partial_remove(path);
    partial_unlock(path);
  }
}

// Whole contents of a file through the primitives; false when it cannot
// be read.
inline bool read_through(const std::string& path, std::vector<uint8_t>* out) {
  out->clear();
  int fd = -1;
  if (file_open_read(path.c_str(), &fd) != STATUS_OK) return false;
  uint64_t size = 0;
  bool ok = file_size(fd, &size) == STATUS_OK;
  if (ok) {
    out->resize(size);
    uint64_t done = 0;
    while (ok && done < size) {
      size_t got = 0;
      ok = file_pread(fd, out->data() + done, size - done, done, &got) == STATUS_OK && got > 0;
      done += got;
    }
  }
  (void)file_close(fd);  // read-only
  return ok;
}

// Checks the store directory of m as it stands, against what had been
// acknowledged after k operations. With extend, every partial that loads is
// also continued (image cut back, journal reopened) and checkpointed once
// more, which changes the files. Returns one line per violation.
inline std::vector<std::string> check_store(Model& m, uint64_t k, bool extend) {
  std::vector<std::string> bad;
  ScanItem* items = nullptr;
  size_t count = 0;
  int32_t rc = backup_scan(m.dir().c_str(), &items, &count);
  if (rc != STATUS_OK) bad.push_back("backup_scan failed with " + std::to_string(rc));
  for (size_t bi = 0; bi < m.backups().size(); ++bi) {
    const BackupModel& b = m.backups()[bi];
    Acked a = Model::acked_by(b, k);
    const std::string who = b.name + "/" + backup_type_name(b.type) + ": ";
    Uuid id = tag_uuid(b.uuid_tag);

    std::vector<std::string> catalogs;
    for (size_t i = 0; i < count; ++i) {
      if (uuid_equal(items[i].uuid, id) == 1) catalogs.push_back(items[i].path);
    }
    if (catalogs.size() > 1) bad.push_back(who + "more than one catalog");
    bool finished = !catalogs.empty();
    if (finished) {
      auto cat = std::make_unique<LoadedCatalog>();
      rc = catalog_load(catalogs[0].c_str(), cat.get());
      std::vector<uint8_t> image;
      if (rc != STATUS_OK) {
        bad.push_back(who + "visible catalog does not load (" + std::to_string(rc) + ")");
      } else if (!b.end_started) {
        bad.push_back(who + "catalog of a backup that never ended");
      } else if (!same_entries(b.final_entries, cat->entries, cat->entry_count)) {
        bad.push_back(who + "catalog entries differ from the finished backup");
      } else if (header_image_size(cat->header) != b.final_image.size()) {
        bad.push_back(who + "catalog states the wrong image size");
      } else if (!read_through(cat->image_path, &image) || image != b.final_image) {
        bad.push_back(who + "finished image missing or different (" + std::to_string(image.size()) + " of " +
                      std::to_string(b.final_image.size()) + " bytes)");
      }
      catalog_free(cat.get());
      if (rc == STATUS_OK && b.chain_length > 1) {
        Chain chain;
        rc = chain_resolve(catalogs[0].c_str(), m.dir().c_str(), &chain);
        if (rc != STATUS_OK || chain.count != b.chain_length) {
          bad.push_back(who + "chain does not resolve (" + std::to_string(rc) + ")");
        }
        chain_free(&chain);
      }
    }
    if (a.end && !finished) bad.push_back(who + "END_OK was answered but the backup is not there");

    char jpath[PATH_SIZE];
    rc = partial_find_by_uuid(m.dir().c_str(), id, jpath, sizeof jpath);
    bool partial = rc == STATUS_OK;
    if (rc != STATUS_OK && rc != STATUS_NOT_FOUND) bad.push_back(who + "partial search failed");
    if (partial && finished) bad.push_back(who + "both a partial and a finished backup");
    bool must_exist = a.cp >= 0 && !a.end && !a.removed && !a.abandoned;
    if (!partial) {
      if (must_exist && !finished) {
        bad.push_back(who + "acknowledged checkpoint " + std::to_string(a.cp) + " lost: no partial");
      }
      continue;
    }
    auto p = std::make_unique<PartialBackup>();
    rc = partial_load(jpath, p.get());
    if (rc != STATUS_OK) {
      if (must_exist) {
        bad.push_back(who + "acknowledged checkpoint " + std::to_string(a.cp) + " lost: partial does not load (" +
                      std::to_string(rc) + ")");
      } else if (rc != STATUS_CORRUPT) {
        bad.push_back(who + "partial fails to load with " + std::to_string(rc));
      }
      continue;
    }
    int match = -1;
    for (size_t j = b.cps.size(); j-- > 0;) {
      const CpState& s = b.cps[j];
      if (s.start_op >= k) continue;  // begun after the power loss
      if (s.image_size == p->checkpoint_image_size && same_entries(s.entries, p->entries, p->entry_count)) {
        match = static_cast<int>(j);
        break;
      }
    }
    if (match < 0) {
      bad.push_back(who + "partial loads to a state no checkpoint had (" + std::to_string(p->entry_count) +
                    " entries, " + std::to_string(p->checkpoint_image_size) + " bytes)");
    } else if (match < a.cp && !a.removed && !a.abandoned) {
      bad.push_back(who + "partial is at checkpoint " + std::to_string(match) + ", before the acknowledged " +
                    std::to_string(a.cp));
    }
    if (extend && match >= 0) {
      const CpState& s = b.cps[static_cast<size_t>(match)];
      std::string tmp = m.dir() + "/" + p->image_name + ".tmp";
      int fd = -1;
      rc = partial_prepare_image(tmp.c_str(), p->checkpoint_image_size, &fd);
      std::vector<uint8_t> image;
      if (rc != STATUS_OK) {
        bad.push_back(who + "image of the partial cannot be prepared (" + std::to_string(rc) + ")");
      } else if (!read_through(tmp, &image) || image != s.image) {
        bad.push_back(who + "partial's image is not the checkpoint's after the cut");
      }
      JournalWriter w;
      journal_init(&w);
      if (rc == STATUS_OK) {
        rc = journal_reopen(&w, jpath, *p);
        if (rc != STATUS_OK) bad.push_back(who + "journal cannot be reopened (" + std::to_string(rc) + ")");
      }
      if (rc == STATUS_OK) {
        // One more block and checkpoint on top of the continued partial.
        std::vector<uint8_t> data = block_data(0xABCDE, 1, 100);
        CatalogEntryFields f;
        f.key = 0xABCDE;
        f.offset = s.image_size;
        f.length = 100;
        CatalogEntry e;
        encode_catalog_entry(f, &e);
        size_t written = 0;
        rc = file_pwrite_all(fd, data.data(), data.size(), s.image_size, &written);
        if (rc == STATUS_OK) rc = journal_add_block(&w, e, 100);
        if (rc == STATUS_OK) rc = journal_checkpoint(&w, fd, s.image_size + 100);
        journal_close(&w);
        auto again = std::make_unique<PartialBackup>();
        if (rc != STATUS_OK || partial_load(jpath, again.get()) != STATUS_OK ||
            again->entry_count != s.entries.size() + 1 || again->checkpoint_image_size != s.image_size + 100) {
          bad.push_back(who + "continued partial does not take a further checkpoint");
        }
        partial_free(again.get());
      }
      journal_close(&w);
      (void)file_close(fd);
    }
    partial_free(p.get());
  }
  free(items);
  return bad;
}

}  // namespace orv::rel
