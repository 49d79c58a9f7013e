#include "locking/target_lock.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <utility>

#include "base/file_identity.hpp"
#include "base/process.hpp"
#include "support/scratch.hpp"

namespace ombu {
namespace {

using namespace ombu_unit;

const std::string target = "t";
const std::string lock_name = ".ombu/t.prereqs.lock";

// Whether another open file could take the lock exclusively now.
bool free_for_others() {
    const int other = open(lock_name.c_str(), O_RDONLY | O_CLOEXEC);
    const bool free = other >= 0 && flock(other, LOCK_EX | LOCK_NB) == 0;
    if (other >= 0) close(other);
    return free;
}

// Every outcome of the sequence, with what the value then holds. The other
// holders are open files of this process: locks of whole files conflict
// between open files, whoever holds them.
TEST(TargetLock, OutcomesOfTheSequence) {
    struct case_t {
        const char* what;
        std::function<int()> setup;  // returns a descriptor to close afterwards, or -1
        bool exclusive;
        bool may_wait;
        bool own;  // the request names the lock file's identity as one of its own
        lock_status status;
        bool identified;
        const char* log;
    } cases[] = {
        {"free, exclusive", [] { return -1; }, true, true, false, lock_status::locked, true, ""},
        {"shared beside a shared holder",
         [] { return open_locked_shared(AT_FDCWD, lock_name.c_str()); }, false, true, false,
         lock_status::locked, true, ""},
        {"held elsewhere, no waiting",
         [] { return open_locked_exclusive(AT_FDCWD, lock_name.c_str()); }, true, false, false,
         lock_status::busy, true, ""},
        {"one of the caller's own", [] { return -1; }, true, true, true, lock_status::duplicate,
         true, ""},
        {"held upstream",
         [] {
             const int fd = open_lock_file(AT_FDCWD, lock_name.c_str());
             file_identity id;
             identity_of(fd, id);
             close(fd);
             push_judged_lock(id, lock_name);
             return -1;
         },
         true, true, false, lock_status::cycle, true,
         "ombu: ERROR: t: Dependency cycle detected.\n"},
        {"no database directory", [] { return rmdir(".ombu"), -1; }, false, true, false,
         lock_status::not_opened, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_directory scratch;
        mkdir(".ombu", 0777);
        const int other = c.setup();
        std::vector<file_identity> own;
        if (c.own) {
            const int fd = open_lock_file(AT_FDCWD, lock_name.c_str());
            own.resize(1);
            identity_of(fd, own[0]);
            close(fd);
        }
        target_lock lock;
        lock_status status;
        int error = 0;
        {
            captured_log log;
            status = take_target_lock("ombu",
                                      {.target = target,
                                       .lock_name = lock_name,
                                       .exclusive = c.exclusive,
                                       .may_wait = c.may_wait,
                                       .own_locks = &own},
                                      lock);
            error = errno;
            EXPECT_EQ(log.str(), c.log);
        }
        if (c.status == lock_status::not_opened) {
            EXPECT_EQ(error, ENOENT);
        }
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(lock.held(), c.status == lock_status::locked);
        EXPECT_EQ(lock.identified(), c.identified);
        if (c.identified) {
            struct stat file;
            ASSERT_EQ(stat(lock_name.c_str(), &file), 0);
            EXPECT_TRUE((lock.identity() == file_identity{file.st_dev, file.st_ino}));
        }
        if (other >= 0) close(other);
        // Only a held lock keeps others out.
        if (c.identified) {
            EXPECT_EQ(free_for_others(), !lock.held());
        }
        clear_held_locks();
    }
}

// The lock goes with the value that holds it, and follows it when moved.
TEST(TargetLock, ReleasedWhenItsValueGoes) {
    scratch_directory scratch;
    mkdir(".ombu", 0777);
    target_lock kept;
    {
        target_lock lock;
        ASSERT_EQ(take_target_lock(
                      "ombu", {.target = target, .lock_name = lock_name, .exclusive = true}, lock),
                  lock_status::locked);
        EXPECT_FALSE(free_for_others());
        kept = std::move(lock);
    }
    EXPECT_TRUE(kept.held());
    EXPECT_FALSE(free_for_others());
    kept = target_lock();
    EXPECT_FALSE(kept.held());
    EXPECT_TRUE(free_for_others());
}

}  // namespace
}  // namespace ombu
