#pragma once
// Keeps the chat log search to a bounded share of one core by its cost, not
// by the number of regions it walks.

#include <cstdint>
#include <optional>

#include "platform/clock.h"

namespace tidemark {

struct PacingRule {
    // Of every second that a search runs, at most this many per cent are
    // work; the rest is spent in pauses.
    std::uint32_t sharePercent = 15;
    // Work between two pauses: long enough that a pause outlasts the
    // platform's sleep granularity, short enough that the game's other
    // threads (and under Wine the wineserver) are never held up for long.
    std::uint32_t sliceMs = 20;
    // The searching thread's processor time, times this, is its work.
    std::uint32_t cpuToWork = 3;
    // Work that may be done without a pause when the pacer has been idle:
    // the credit that the share earns while nothing is searched, up to
    // this much. A first search, or one after a language change, then
    // finds the log at once (lines written before the log is found count
    // as history): enough for a whole search of a game of 1 GiB, about 2 s
    // of work under Wine. A search that finds nothing gives up what is left
    // of it beyond that search's own work, so a game without a log is
    // searched at the share from its second search on, and it takes 20 s of
    // idling to earn it back.
    std::uint32_t burstMs = 3000;
    // The pause after a search that found nothing: this many times the
    // work of that search, within the bounds: a game without a log then
    // costs less than the share while it is searched over and over, and
    // the cap keeps a log that appears from waiting on the rest.
    std::uint32_t restPerWork = 1;
    std::uint32_t shortestRestMs = 250;
    std::uint32_t longestRestMs = 1000;
};

// Work is the processor time the searching thread uses, times `cpuToWork`.
// Under Wine the copying of a read and the answer to a region query happen
// in other processes (the wineserver, the game), at about twice the
// thread's own cost together, partly at the same time as the thread's own
// copying: the elapsed time would miss that, and on a busy machine it is
// mostly waiting for a processor, which costs nothing and must not slow
// the search.
class SearchPacer {
public:
    explicit SearchPacer(Clock& clock, PacingRule rule = {}) : clock_(clock), rule_(rule) {}

    // The search starts: time from here on is work until the next pause.
    // The credit earned since the last search carries over.
    void beginSearch();
    // Called between two steps of the search (a region listed, a region
    // searched): pauses once a slice of work is due its rest.
    void step();
    // The work of the search begun last, in milliseconds.
    std::uint64_t searchWorkMs();
    // How long to wait before searching again after a search that found
    // nothing; the credit beyond that search's work is given up.
    std::uint64_t restAfterFruitlessSearchMs();

    const PacingRule& rule() const { return rule_; }

private:
    void account();
    void refill(std::uint64_t now);
    std::uint32_t share() const;

    Clock& clock_;
    PacingRule rule_;
    std::uint64_t mark_ = 0;           // elapsed time when work last resumed
    std::uint64_t cpuAtBegin_ = 0;     // the thread's processor time when the search began
    std::uint64_t workMs_ = 0;         // of the current search
    std::uint64_t restedMs_ = 0;     // in the current search's pauses
    // Work that may still be done before a pause, in hundredths of a
    // millisecond; below zero: owed.
    std::int64_t credit_ = std::int64_t{rule_.burstMs} * 100;
    std::optional<std::uint64_t> refilledAt_;
};

}  // namespace tidemark
