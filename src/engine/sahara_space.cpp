// The free space that dumps running at the same time have claimed: each one
// checks the disk against what the others still have to write.
#include <map>
#include <mutex>

#include "sahara.h"

namespace {

std::mutex space_lock;
std::map<uint64_t, uint64_t> space_claims; // id -> bytes still to write
uint64_t space_next_id = 1;

} // namespace

bool sahara_space_claim::claim(uint64_t need, uint64_t avail, uint64_t *others)
{
	std::lock_guard<std::mutex> hold(space_lock);
	uint64_t sum = 0;
	for (const auto &c : space_claims)
		if (!held_ || c.first != id_)
			sum += c.second;
	*others = sum;
	if (avail < sum || avail - sum < need)
		return false;
	if (!held_)
		id_ = space_next_id++;
	held_ = true;
	space_claims[id_] = need;
	return true;
}

bool sahara_space_claim::claim_more(uint64_t more, uint64_t avail, uint64_t *others)
{
	std::lock_guard<std::mutex> hold(space_lock);
	uint64_t sum = 0, mine = 0;
	for (const auto &c : space_claims)
		(held_ && c.first == id_ ? mine : sum) += c.second;
	*others = sum;
	// What this dump still has to write counts too: avail holds it yet.
	if (avail < sum || avail - sum < mine || avail - sum - mine < more)
		return false;
	if (!held_)
		id_ = space_next_id++;
	held_ = true;
	space_claims[id_] = mine + more;
	return true;
}

void sahara_space_claim::used(uint64_t written)
{
	if (!held_)
		return;
	std::lock_guard<std::mutex> hold(space_lock);
	uint64_t &left = space_claims[id_];
	left = written < left ? left - written : 0;
}

void sahara_space_claim::release()
{
	if (!held_)
		return;
	std::lock_guard<std::mutex> hold(space_lock);
	space_claims.erase(id_);
	held_ = false;
}
