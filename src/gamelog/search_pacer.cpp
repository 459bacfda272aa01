#include "gamelog/search_pacer.h"

#include <algorithm>

namespace tidemark {

std::uint32_t SearchPacer::share() const { return std::clamp<std::uint32_t>(rule_.sharePercent, 1, 100); }

void SearchPacer::refill(std::uint64_t now) {
    if (refilledAt_ && now > *refilledAt_)
        credit_ = std::min<std::int64_t>(credit_ + static_cast<std::int64_t>((now - *refilledAt_) * share()),
                                         std::int64_t{rule_.burstMs} * 100);
    refilledAt_ = now;
}

void SearchPacer::beginSearch() {
    mark_ = clock_.elapsedMs();
    refill(mark_);
    cpuAtBegin_ = clock_.threadCpuMs();
    workMs_ = 0;
    restedMs_ = 0;
}

void SearchPacer::account() {
    const std::uint64_t now = clock_.elapsedMs(), cpu = clock_.threadCpuMs();
    refill(now);
    mark_ = now;
    // Over the whole search, not step by step: the platforms count a
    // thread's time in ticks of 10 to 16 ms, far coarser than a step.
    const std::uint64_t work = (cpu - std::min(cpu, cpuAtBegin_)) * rule_.cpuToWork;
    credit_ -= static_cast<std::int64_t>((work - std::min(work, workMs_)) * 100);
    workMs_ = std::max(work, workMs_);
}

void SearchPacer::step() {
    account();
    // Rest once a slice of work is owed, until the share has paid it back:
    // a sleep that lasted longer than asked (a coarse timer) is credited,
    // and work cut into steps shorter than a slice is still paid for.
    if (credit_ > -std::int64_t{rule_.sliceMs} * 100) return;
    const std::uint64_t due = static_cast<std::uint64_t>(-credit_) / share();
    clock_.sleepMs(static_cast<std::uint32_t>(std::min<std::uint64_t>(due, 60000)));
    const std::uint64_t now = clock_.elapsedMs();
    restedMs_ += now - std::min(now, mark_);
    mark_ = now;
    refill(now);
}

std::uint64_t SearchPacer::searchWorkMs() {
    account();
    return workMs_;
}

std::uint64_t SearchPacer::restAfterFruitlessSearchMs() {
    // The credit is for finding a log that is there at once. A game without
    // one is searched over and over: each search may run unpaced on no more
    // than the one before it needed, which the share earns back while the
    // searches are cheap (so a log that appears is found by a search at full
    // speed) and which keeps them from spending a first search's credit.
    credit_ = std::min(credit_, static_cast<std::int64_t>(searchWorkMs() * 100));
    return std::clamp<std::uint64_t>(searchWorkMs() * rule_.restPerWork, rule_.shortestRestMs, rule_.longestRestMs);
}

}  // namespace tidemark
