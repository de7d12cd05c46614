// The ring: a bounded first-in, first-out queue of values in the shared
// state file, changed by compare-and-swap alone.
#include "queue.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace marnel::sim {

// The queue takes no lock. The kernel module's lock cannot be held by a
// stopped process, but a lock in shared memory can: a client stopped by
// SIGSTOP, Ctrl-Z or a debugger while holding it would stop everyone.
// Every change is instead one compare-and-swap on one 64-bit word, so a
// process stopped or killed between any two instructions has either made
// its change whole or not at all, and the others go on without it.
//
// - enqueue at position t = tail: slot[t % capacity] is free for t when it
//   holds lap(t) - 1, i.e. the value of position t - capacity, and that
//   value is gone (t - head < capacity). One CAS puts (value, lap(t))
//   there; that is the commit. Then tail moves t -> t + 1 by CAS, by the
//   writer or by whoever finds the slot filled for t first (a writer
//   killed in between leaves that to the next caller). A write returns
//   only once tail is past t.
// - dequeue at h = head < tail: slot[h % capacity] holds lap(h) until head
//   passes h, since no writer may reuse it before. Its text is placed in
//   the caller's buffer first, then head moves h -> h + 1 by CAS; losing
//   that race to another reader puts the caller's bytes back and tries
//   the next value. A bad buffer fails before the CAS, so nothing moves.
// - head and tail are 64-bit and only grow: no CAS on them can succeed on
//   a stale value (ABA). A slot's lap is 32 bits: a writer's CAS could
//   wrongly succeed only if, between its read and its CAS, the slot went
//   round exactly a multiple of 2^32 laps (at least 2^32 x capacity
//   values) and came back holding the same value.
// - Every step that finds the state impossible (head past tail, more than
//   capacity queued, a slot of the wrong lap) reads again: a value that
//   moved means another caller got there first, one that did not means
//   the file is corrupted, and the call fails with EIO. So no loop spins
//   on a corrupted file: each turn needs another caller's progress.
// - unload sets a flag every call checks first. A call under way then may
//   still finish on the old state; a newly loaded queue is another file,
//   so nothing of the old one reaches it.

namespace {

std::uint64_t pack(std::int32_t value, std::uint32_t lap)
{
	return static_cast<std::uint64_t>(lap) << 32 | static_cast<std::uint32_t>(value);
}

std::uint32_t lap_of(std::uint64_t slot)
{
	return static_cast<std::uint32_t>(slot >> 32);
}

// The value last read from `now` is out of date: another caller moved it.
// Otherwise the state that made the caller look again is the file's own.
bool overtaken(std::uint64_t seen, const std::atomic<std::uint64_t> &now)
{
	return now.load(std::memory_order_acquire) != seen;
}

// What a call gets before it starts: EBADF with no state attached, EIO once
// the driver was unloaded.
int unusable(const Shared *s)
{
	if (!s)
		return EBADF;
	return s->unloaded.load(std::memory_order_acquire) != 0 ? EIO : 0;
}

} // namespace

bool parse_trimmed(const char (&record)[8], std::int32_t &value)
{
	// strim's blanks: the kernel's isspace, which counts 0xa0 as one.
	auto space = [](char c) {
		auto u = static_cast<unsigned char>(c);
		return u == ' ' || (u >= '\t' && u <= '\r') || u == 0xa0;
	};
	std::size_t len = strnlen(record, sizeof record), first = 0;
	while (first < len && space(record[first]))
		first++;
	while (len > first && space(record[len - 1]))
		len--;
	char text[8] = {};
	memcpy(text, record + first, len - first);
	return len > first && parse_record(text, value);
}

bool parse_record(const char (&record)[8], std::int32_t &value)
{
	std::size_t len = strnlen(record, sizeof record);
	std::size_t i = 0;
	bool negative = false;
	if (i < len && (record[i] == '+' || record[i] == '-'))
		negative = record[i++] == '-';
	std::size_t first = i;
	std::int64_t v = 0; // 8 bytes of text cannot leave the int32 range
	while (i < len && record[i] >= '0' && record[i] <= '9')
		v = v * 10 + (record[i++] - '0');
	if (i == first)
		return false;
	if (i < len && record[i] == '\n')
		i++;
	if (i != len)
		return false;
	value = static_cast<std::int32_t>(negative ? -v : v);
	return true;
}

int Queue::enqueue(const void *buf, std::size_t count, std::size_t &taken)
{
	Shared *s = shared_;
	if (int err = unusable(s))
		return err;
	const Profile &p = profile_;
	char record[8];
	std::int32_t value = 0;
	// A longer write is refused, or its first record taken.
	int count_error = count < 8 ? p.short_error : count > 8 ? p.long_error : 0;
	if (count_error != 0) {
		s->refused_malformed.fetch_add(1, std::memory_order_relaxed);
		return count_error;
	}
	if (copy_from_caller(record, buf, sizeof record) != 0)
		return EFAULT;
	if (!(p.trimmed ? parse_trimmed(record, value) : parse_record(record, value))
		    MARNEL_FAULT(|| faults::refuses(record))) {
		s->refused_malformed.fetch_add(1, std::memory_order_relaxed);
		return p.record_error;
	}
	taken = 8;
	const std::uint64_t cap = capacity_;
	for (;;) {
		std::uint64_t t = s->tail.load(std::memory_order_acquire);
		std::uint64_t h = s->head.load(std::memory_order_acquire);
		// Read after t, h can only be ahead of it if tail moved on.
		if (h > t) {
			if (!overtaken(t, s->tail))
				return EIO;
			continue;
		}
		if (t - h > cap)
			return EIO;
		std::uint32_t lap = static_cast<std::uint32_t>(t / cap + 1);
		auto &slot = s->slots()[t % cap];
		std::uint64_t seen = slot.load(std::memory_order_acquire);
		if (lap_of(seen) == lap) {
			// Filled for t by a writer that has not moved tail yet.
			s->tail.compare_exchange_strong(t, t + 1,
							std::memory_order_acq_rel);
			continue;
		}
		if (lap_of(seen) != lap - 1) {
			if (!overtaken(t, s->tail))
				return EIO;
			continue;
		}
		if (t - h == cap) {
			MARNEL_FAULT(if (faults::on(faults::write_blocks_full)) {
				faults::nap();
				continue;
			})
			s->refused_full.fetch_add(1, std::memory_order_relaxed);
			return p.full_error;
		}
		MARNEL_FAULT(if (faults::on(faults::write_drops) && s->fault_turn.fetch_add(1) % 2 == 1)
				     return 0;)
		if (slot.compare_exchange_strong(seen, pack(value, lap),
						 std::memory_order_acq_rel)) {
			s->tail.compare_exchange_strong(t, t + 1,
							std::memory_order_acq_rel);
			return 0;
		}
	}
}

int Queue::dequeue(void *buf, std::size_t count, Delivery &done)
{
	Shared *s = shared_;
	if (int err = unusable(s))
		return err;
	const std::uint64_t cap = capacity_;
	// The caller's bytes that a delivery may cover, to put back when
	// another reader takes the value first.
	char saved[sizeof done.text];
	std::size_t span = count < sizeof saved ? count : sizeof saved;
	bool checked = false;
	for (;;) {
		std::uint64_t h = s->head.load(std::memory_order_acquire);
		std::uint64_t t = s->tail.load(std::memory_order_acquire);
		if (t < h)
			return EIO; // read after h, t cannot be behind it
		if (t - h > cap) {
			if (!overtaken(h, s->head))
				return EIO;
			continue;
		}
		bool empty = t == h;
		std::uint64_t pos = empty ? t : h;
		MARNEL_FAULT(if (!empty && faults::on(faults::lifo)) pos = t - 1;)
		std::uint32_t lap = static_cast<std::uint32_t>(pos / cap + 1);
		std::uint64_t seen = s->slots()[pos % cap].load(std::memory_order_acquire);
		if (empty && lap_of(seen) == lap) {
			// A value is in but tail has not moved yet.
			s->tail.compare_exchange_strong(t, t + 1,
							std::memory_order_acq_rel);
			continue;
		}
		if (lap_of(seen) != (empty ? lap - 1 : lap)) {
			if (!overtaken(pos, empty ? s->tail : s->head))
				return EIO;
			continue;
		}
		MARNEL_FAULT(if (empty && faults::on(faults::read_blocks)) {
			faults::nap();
			continue;
		})
		std::int32_t value = empty ? -1 : static_cast<std::int32_t>(seen);
		MARNEL_FAULT(if (empty && faults::on(faults::no_end_marker)) value = 0;)
		MARNEL_FAULT(if (!empty && faults::on(faults::changed_value))
				     value = static_cast<std::int32_t>(static_cast<std::uint32_t>(value) + 1);)
		auto [end, ec] = std::to_chars(done.text, done.text + 11, value);
		auto len = static_cast<std::size_t>(end - done.text);
		*end = '\0';
		MARNEL_FAULT(if (!empty && faults::on(faults::no_text_end)) *end = '7';)
		MARNEL_FAULT(done.value = !empty;)
		if (count < len && profile_.read_short_error != 0) {
			// The value stays: only when it really was the head.
			if (!empty && overtaken(h, s->head))
				continue;
			return profile_.read_short_error;
		}
		// Cut to the count when the profile says so.
		done.placed = std::min(count, len + 1);
		if (!checked) {
			if (caller_writable(buf, span) != 0)
				return EFAULT;
			memcpy(saved, buf, span);
			checked = true;
		}
		memcpy(buf, done.text, done.placed);
		if (empty) {
			s->end_markers.fetch_add(1, std::memory_order_relaxed);
			return 0;
		}
		MARNEL_FAULT(if (pos != h) { // lifo's newest value: it leaves by the tail
			s->slots()[pos % cap].store(pack(0, lap - 1));
			s->tail.store(pos);
			return 0;
		})
		MARNEL_FAULT(if (faults::on(faults::duplicate) && s->fault_turn.fetch_add(1) % 3 == 2)
				     return 0;)
		if (s->head.compare_exchange_strong(h, h + 1, std::memory_order_acq_rel))
			return 0;
		memcpy(buf, saved, done.placed);
	}
}

bool Queue::unloaded() const
{
	return !shared_ || shared_->unloaded.load(std::memory_order_acquire) != 0;
}

int Queue::mark_unloaded()
{
	if (!shared_)
		return EBADF;
	shared_->unloaded.store(1, std::memory_order_seq_cst);
	return 0;
}

// head and tail read as a pair that held at one instant: two passes that
// agree. Each pass reads the other counters between them. Under a
// constant stream of calls the passes may never agree; after a bounded
// number the last one is used, depth held to what the queue can hold.
int Queue::status(char (&text)[status_size], std::size_t &len)
{
	Shared *s = shared_;
	if (int err = unusable(s))
		return err;
	const std::uint64_t cap = capacity_;
	std::uint64_t h = 0, t = 0, full = 0, malformed = 0, ends = 0;
	for (int pass = 0; pass < 1000; pass++) {
		h = s->head.load(std::memory_order_acquire);
		t = s->tail.load(std::memory_order_acquire);
		full = s->refused_full.load(std::memory_order_relaxed);
		malformed = s->refused_malformed.load(std::memory_order_relaxed);
		ends = s->end_markers.load(std::memory_order_relaxed);
		if (s->head.load(std::memory_order_acquire) == h &&
		    s->tail.load(std::memory_order_acquire) == t) {
			if (t < h || t - h > cap)
				return EIO;
			break;
		}
	}
	if (t < h)
		return EIO;
	if (t - h > cap)
		h = t - cap; // head passed this value while the pass ran
	const struct {
		const char *key;
		std::uint64_t value;
	} lines[] = {
		{"capacity", cap},      {"depth", t - h},
		{"accepted", t},        {"refused_full", full},
		{"refused_malformed", malformed},
		{"delivered", h},       {"end_markers", ends},
	};
	char *p = text;
	char *last = text + status_size;
	for (const auto &l : lines) {
		std::size_t k = strlen(l.key);
		if (last - p < static_cast<std::ptrdiff_t>(k + 24))
			return EIO;
		memcpy(p, l.key, k);
		p += k;
		*p++ = ':';
		*p++ = ' ';
		p = std::to_chars(p, last, l.value).ptr;
		*p++ = '\n';
	}
	len = static_cast<std::size_t>(p - text);
	return 0;
}

int Queue::status(std::string &text)
{
	char buf[status_size];
	std::size_t len = 0;
	int err = status(buf, len);
	if (err == 0)
		text.assign(buf, len);
	return err;
}

} // namespace marnel::sim
