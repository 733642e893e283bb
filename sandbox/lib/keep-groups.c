/* Preloaded into the sandbox's TFTP server (in.tftpd).
 *
 * The switch runs in a user namespace that maps only root and, as every
 * unprivileged user namespace must, forbids setgroups(2). in.tftpd drops
 * its privileges with initgroups() even when told to stay root, and exits
 * when that fails. Here the only group that exists is root's, so asking
 * for root's groups changes nothing: that request is answered as done;
 * any other still fails as the kernel would refuse it.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <grp.h>
#include <stddef.h>
#include <sys/types.h>

int setgroups(size_t count, const gid_t* groups) {
    for (size_t i = 0; i < count; ++i) {
        if (groups[i] != 0) {
            errno = EPERM;
            return -1;
        }
    }
    return 0;
}

int initgroups(const char* user, gid_t group) {
    (void)user;
    if (group != 0) {
        errno = EPERM;
        return -1;
    }
    return 0;
}
