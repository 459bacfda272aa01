#pragma once
// Keeps the chat log search to a bounded share of one core by its cost, not
// by the number of regions it walks.

#include <cstdint>
#include <optional>

#include "platform/clock.h"

namespace tidemark {

struct PacingRule {
    // Of all the time a game without a log is searched, searches and the
    // rests between them, at most this many per cent are work: the rate at
    // which the credit is earned.
    std::uint32_t sharePercent = 15;
    // Once its credit is spent, a search keeps to this share of the time it
    // runs, pausing after every slice of work. Higher than the average share
    // so that a log that appears is reached soon; the rest after a search
    // that found nothing pays back the difference.
    std::uint32_t searchSharePercent = 30;
    // Work between two pauses: long enough that a pause outlasts the
    // platform's sleep granularity, short enough that the game's other
    // threads (and under Wine the wineserver) are never held up for long.
    std::uint32_t sliceMs = 20;
    // The searching thread's processor time, times this, is its work.
    std::uint32_t cpuToWork = 3;
    // Work that may be done without a pause when the pacer has been idle:
    // the credit that the share earns while nothing is searched, up to
    // this much. A first search then finds the log at once (lines written
    // before the log is found count as history): enough for a whole search
    // of a game of 1 GiB, about 2 s of work under Wine. A search that finds
    // nothing gives up what is left of it, so a game without a log is
    // searched at the share from its second search on, and it takes 20 s of
    // idling to earn it back.
    std::uint32_t burstMs = 3000;
    // The rest after a search that found nothing lasts until the share has
    // paid back the work that search did beyond its credit, within these
    // bounds: a log that appears during a rest waits for the rest of it.
    std::uint32_t shortestRestMs = 250;
    std::uint32_t longestRestMs = 30000;
    // The thread's processor time is read again only after this much
    // elapsed time: under Wine one reading opens and parses a file in
    // /proc (70 us), more than a region query, and a search steps tens of
    // thousands of times. A pause falls due at most this much elapsed
    // time late.
    std::uint32_t cpuReadingEveryMs = 5;
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

    // The search starts. The credit earned since the last search carries
    // over; without any, the search keeps to its share from the start.
    void beginSearch();
    // Called between two steps of the search (a region listed, a region
    // searched): pauses once a slice of work is due its rest.
    void step();
    // While the search has found a plausible entry and looks for the pointer
    // to it, it does not pause: a log that appears is then taken without a
    // second paced pass. Its work still counts, and the rest after a search
    // that finds nothing pays it back; after it the search keeps to its
    // share from there on.
    void hurry(bool on);
    // The work of the search begun last, in milliseconds.
    std::uint64_t searchWorkMs();
    // How long to wait before searching again after a search that found
    // nothing; whatever is left of the credit is given up.
    std::uint64_t restAfterFruitlessSearchMs();

    const PacingRule& rule() const { return rule_; }

private:
    void account();
    void refill(std::uint64_t now);
    static std::uint32_t percent(std::uint32_t share);

    Clock& clock_;
    PacingRule rule_;
    std::uint64_t cpuReadAt_ = 0;      // elapsed time of the last reading of the thread's time
    std::uint64_t cpuAtBegin_ = 0;     // the thread's processor time when the search began
    std::uint64_t workMs_ = 0;         // of the current search
    // Once the credit ran out in the current search: the elapsed time then
    // and the work done since, which the search's own share paces.
    std::optional<std::uint64_t> pacedSince_;
    std::uint64_t pacedWorkMs_ = 0;
    std::uint64_t pacedWorkAtPause_ = 0;
    bool hurried_ = false;
    // Work that may still be done without a pause, in hundredths of a
    // millisecond; below zero: owed, which the rest after a search that
    // found nothing pays back.
    std::int64_t credit_ = std::int64_t{rule_.burstMs} * 100;
    std::optional<std::uint64_t> refilledAt_;
};

}  // namespace tidemark
