// Loading and unloading: the state file and the mirror of /proc/marnel in
// the state folder, and a process's mapping of them.
#include "queue.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <vector>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

namespace marnel::sim {

namespace {

// "mrn3": the layout with the profile; a state of another layout is refused.
constexpr std::uint32_t magic = 0x6d726e33;
constexpr const char *state_name = "queue";

} // namespace

std::string state_dir()
{
	if (const char *dir = getenv("MARNEL_SIM_DIR"); dir && *dir)
		return dir;
	if (const char *run = getenv("XDG_RUNTIME_DIR"); run && *run)
		return std::string(run) + "/marnel-sim";
	return "/tmp/marnel-sim-" + std::to_string(geteuid());
}

// Private: a folder (0700) or a regular file (0600) of this user, not a
// link. Under /tmp anyone could have made the name first.
static bool is_private(const struct stat &st, bool folder)
{
	bool kind = folder ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
	return kind && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

// The state folder, opened without following a link; -1 with errno.
static int open_dir(const std::string &dir)
{
	int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	struct stat st {};
	if (fd >= 0 && (fstat(fd, &st) != 0 || !is_private(st, true))) {
		close(fd);
		errno = EPERM;
		return -1;
	}
	return fd;
}

// The state file, checked as this user's private file; 0 or an errno.
static int open_state(const std::string &dir, int &fd, struct stat &st)
{
	int dfd = open_dir(dir);
	if (dfd < 0)
		return ENOENT; // no usable folder: not loaded there
	fd = openat(dfd, state_name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	int err = fd < 0 ? errno : 0;
	close(dfd);
	if (err != 0)
		return err == ENOENT ? ENOENT : EIO;
	if (fstat(fd, &st) != 0 || !is_private(st, false)) {
		close(fd);
		return EIO;
	}
	return 0;
}

// The folder name of the mirror of /proc/marnel; paths.cpp's mirror_of.
constexpr const char *mirror_name = "marnel";

// Makes the writable mode of a mirror folder first: it is 0555, as in
// procfs, and its files must go.
static void remove_mirror(int dfd, const char *name)
{
	(void)!fchmodat(dfd, name, 0700, 0);
	int fd = openat(dfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (DIR *d = fd >= 0 ? fdopendir(fd) : nullptr) {
		while (dirent *e = readdir(d))
			if (e->d_name[0] != '.')
				unlinkat(fd, e->d_name, 0);
		closedir(d);
	} else if (fd >= 0) {
		close(fd);
	}
	unlinkat(dfd, name, AT_REMOVEDIR);
}

// The entries as empty files with the profile's modes, owned by the
// loading user, in a folder of mode 0555: stat, access and readdir then
// get the kernel's own answers for them.
static int make_mirror(int dfd, const std::string &name, const Profile &p)
{
	remove_mirror(dfd, name.c_str());
	if (mkdirat(dfd, name.c_str(), 0700) != 0)
		return errno;
	int fd = openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0)
		return errno;
	int err = 0;
	std::vector<std::pair<const char *, mode_t>> files = {
		{"enqueue", p.enqueue_mode}, {"dequeue", p.dequeue_mode}};
	if (p.status_counters)
		files.push_back({"status", 0444});
	for (std::uint32_t i = 0; i < p.entry_count && i < Profile::max_entries; i++)
		files.push_back({p.entries[i].name, 0444});
	for (auto [e, mode] : files) {
		int f = openat(fd, e, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
		if (f < 0 || fchmod(f, static_cast<mode_t>(mode)) != 0)
			err = errno;
		if (f >= 0)
			close(f);
	}
	if (err == 0 && fchmod(fd, 0555) != 0)
		err = errno;
	close(fd);
	return err;
}

int load(const std::string &dir, const Profile &profile, const std::string &name,
	 std::string &why)
{
	const std::uint32_t capacity = profile.capacity;
	if (!valid_profile(profile)) {
		why = "not a profile the driver can answer by";
		return EINVAL;
	}
	if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
		int err = errno;
		why = dir;
		return err;
	}
	int dfd = open_dir(dir);
	if (dfd < 0) {
		int err = errno;
		why = err == EPERM || err == ELOOP || err == ENOTDIR
			      ? dir + " is not a private folder of this user"
			      : dir;
		return err == ENOENT ? ENOENT : EPERM;
	}

	// A name only this process uses; one left by a killed load goes.
	std::string tmp = ".queue." + std::to_string(getpid());
	unlinkat(dfd, tmp.c_str(), 0);
	int fd = openat(dfd, tmp.c_str(),
			O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (fd < 0) {
		int err = errno;
		why = dir + "/" + tmp;
		close(dfd);
		return err;
	}
	std::size_t size = Shared::bytes(capacity);
	int err = 0;
	void *map = MAP_FAILED;
	if (fchmod(fd, 0600) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0)
		err = errno;
	else if ((map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED,
			     fd, 0)) == MAP_FAILED)
		err = errno;
	close(fd);
	if (err == 0) {
		// Zeros are an empty queue at position 0.
		auto *s = new (map) Shared{};
		s->capacity = capacity;
		s->profile = profile;
		snprintf(s->profile_name, sizeof s->profile_name, "%s", name.c_str());
		s->magic = magic;
		if (getrandom(&s->load_id, sizeof s->load_id, 0) != sizeof s->load_id)
			s->load_id = static_cast<std::uint32_t>(getpid() ^ time(nullptr));
		munmap(map, size);
		err = make_mirror(dfd, "." + tmp, profile);
		if (err != 0)
			why = dir + "/." + tmp;
	} else {
		why = dir + "/" + tmp;
	}
	if (err == 0) {
		// link() refuses an existing name, so two loads cannot both win.
		if (linkat(dfd, tmp.c_str(), dfd, state_name, 0) != 0) {
			err = errno;
			why = err == EEXIST ? "already loaded in " + dir : dir;
		} else {
			// A mirror left by an unload that was killed goes first.
			remove_mirror(dfd, mirror_name);
			if (renameat(dfd, ("." + tmp).c_str(), dfd, mirror_name) != 0) {
				err = errno;
				why = dir + "/" + mirror_name;
				unlinkat(dfd, state_name, 0);
			}
		}
	}
	remove_mirror(dfd, ("." + tmp).c_str());
	unlinkat(dfd, tmp.c_str(), 0);
	close(dfd);
	return err;
}

int unload(const std::string &dir)
{
	Queue q;
	int err = q.attach(dir);
	if (err == 0)
		err = q.mark_unloaded();
	// A corrupted state of this user's own can still be removed, or it
	// would block every later load.
	if (err == EIO) {
		int fd = -1;
		struct stat st {};
		if (open_state(dir, fd, st) == 0) {
			close(fd);
			err = 0;
		}
	}
	if (err != 0)
		return err;
	if (int dfd = open_dir(dir); dfd >= 0) {
		remove_mirror(dfd, mirror_name);
		close(dfd);
	}
	return unlink((dir + "/" + state_name).c_str()) == 0 ? 0 : errno;
}

Queue::~Queue()
{
	release();
}

void Queue::release()
{
	if (shared_)
		munmap(shared_, size_);
	shared_ = nullptr;
	size_ = 0;
	capacity_ = 0;
}

int Queue::attach(const std::string &dir)
{
	release();
	int fd = -1;
	struct stat st {};
	if (int err = open_state(dir, fd, st); err != 0)
		return err;
	std::uint32_t head[2] = {}; // magic, capacity
	static_assert(offsetof(Shared, capacity) == sizeof head[0]);
	int err = 0;
	void *map = MAP_FAILED;
	auto size = static_cast<std::size_t>(st.st_size);
	// Checked before it is mapped: a short file would fault on access.
	if (pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
	    head[0] != magic || head[1] == 0 || head[1] > max_capacity ||
	    size != Shared::bytes(head[1]))
		err = EIO;
	else if ((map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED,
			     fd, 0)) == MAP_FAILED)
		err = errno;
	close(fd);
	if (err != 0)
		return err;
	shared_ = static_cast<Shared *>(map);
	size_ = size;
	capacity_ = head[1];
	// Read once and checked: whatever the file says later, the answers are
	// ones the driver may give.
	memcpy(static_cast<void *>(&profile_), &shared_->profile, sizeof profile_);
	if (profile_.capacity != capacity_ || !valid_profile(profile_)) {
		release();
		return EIO;
	}
	if (shared_->unloaded.load(std::memory_order_acquire) != 0) {
		release();
		return ENOENT;
	}
	return 0;
}

std::string Queue::profile_name() const
{
	if (!shared_)
		return "";
	char name[sizeof shared_->profile_name];
	memcpy(name, shared_->profile_name, sizeof name);
	name[sizeof name - 1] = '\0';
	return name;
}

} // namespace marnel::sim
