#include "priv/privdrop.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>

#include "core/log.h"
#include "core/status.h"

namespace orv {

int drop_privileges() {
  if (geteuid() != 0) return 0;

  errno = 0;
  struct passwd* pw = getpwnam(SERVICE_USER);
  if (pw == nullptr) {
    log_write(LEVEL_ERROR,
              "running as root, but the '%s' user does not exist: run 'orv_setup --repair' or create it "
              "manually (useradd --system %s) first",
              SERVICE_USER, SERVICE_USER);
    return -1;
  }
  // Copied out: the passwd record is overwritten by the next lookup.
  const uid_t uid = pw->pw_uid;
  const gid_t gid = pw->pw_gid;
  char err_buf[128];

  if (initgroups(SERVICE_USER, gid) != 0) {
    log_write(LEVEL_ERROR, "initgroups(%s) failed: %s", SERVICE_USER, errno_text(err_buf, sizeof err_buf));
    return -1;
  }
  if (setgid(gid) != 0) {
    log_write(LEVEL_ERROR, "setgid(%d) failed: %s", static_cast<int>(gid), errno_text(err_buf, sizeof err_buf));
    return -1;
  }
  if (setuid(uid) != 0) {
    log_write(LEVEL_ERROR, "setuid(%d) failed: %s", static_cast<int>(uid), errno_text(err_buf, sizeof err_buf));
    return -1;
  }
  // The drop only counts if it cannot be undone.
  if (setuid(0) == 0) {
    log_write(LEVEL_ERROR, "could still regain root after dropping privileges: refusing to continue");
    return -1;
  }
  log_write(LEVEL_INFO, "dropped root, now running as %s (uid=%d gid=%d)", SERVICE_USER, static_cast<int>(uid),
            static_cast<int>(gid));
  return 0;
}

}  // namespace orv
