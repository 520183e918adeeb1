// The crash-recovery journal: a copy of the session's NetworkState on the disk,
// beside the log, so that a service that was killed or lost its power can undo
// the session's routes and DNS at its next start.
//
// Rule: the journal is written before the command that makes a change runs (the
// same points at which the change is recorded in the state), and removed only
// after a teardown of that state has completed. It holds only what teardown
// needs: the alias, indexes, gateways, server and DNS addresses, the ledger and
// the split-route flag; never a token, a configuration or anything secret.
//
// The file is input like any other: a journal that does not parse, or whose
// fields are not the forms the service itself writes, is never turned into a
// command. It is set aside for a person to look at.
//
// Threads: writes come from the request thread of a start or stop and from the
// bypass guard (under the SharedState lock, while the session is in its slot);
// the journal serialises them itself. Recovery runs once, at service start, under
// the lifecycle guard.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

#include "common/error.h"
#include "network/command_runner.h"
#include "network/network_state.h"

namespace brenmoor {

inline constexpr std::string_view kJournalFileName = "brenmoor-network.journal";
inline constexpr std::string_view kJournalRejectedSuffix = ".rejected";
// The longest lists the journal holds; a state with longer ones is not written (the
// write fails and is logged), so the reader never meets a list the writer made.
// Servers per family: the bring-up keeps at most this many addresses of each family.
inline constexpr std::size_t kJournalServerLimit = 8;
// The adapter's DNS servers: far more than an adapter is given.
inline constexpr std::size_t kJournalDnsLimit = 16;
// The ledger is the guard's, and the guard keeps it within kBypassLedgerLimit entries,
// however many servers and paths it served. Every line of a full journal (16 servers,
// 16 DNS servers, 256 ledger entries of at most 105 bytes) fits well inside the limit.
inline constexpr std::size_t kJournalSizeLimit = 64 * 1024;

// The file's text: a header line, one "key value" line per field in NetworkState
// order (lists one line per entry), and a closing "end" line, so a cut-off file
// is recognised as such.
std::string format_network_journal(std::string_view alias, const NetworkState& state);

struct JournalContent {
  std::string alias;
  NetworkState state;
  bool operator==(const JournalContent&) const = default;
};

// The strict reader: exactly the layout format_network_journal writes, the alias
// equal to `expected_alias`, indexes as the platform prints them (decimal, no
// leading zero), the TUN index distinct from the physical ones, every address in the
// canonical text of its family (no zone suffix) and unicast (never unspecified,
// loopback, multicast or broadcast), the IPv6 path fields both set or both empty, the
// ledger naming only the journal's own servers, once each, the lists within their
// limits. Anything else: "journal_malformed:{what}" naming the first line or field
// that is wrong.
[[nodiscard]] Result<JournalContent> parse_network_journal(std::string_view text, std::string_view expected_alias);

// The service's one journal file. record() and remove() never fail the caller: the
// first failed write of a session is logged ("network journal write failed:
// {code}"), later ones are not, and the session goes on without the protection.
// A state the reader would refuse is not written (its code is the reader's).
// Every file operation goes through the checked data folder (platform/data_folder.h).
class NetworkJournal {
 public:
  explicit NetworkJournal(std::string path) : path_(std::move(path)) {}
  virtual ~NetworkJournal() = default;
  NetworkJournal(const NetworkJournal&) = delete;
  NetworkJournal& operator=(const NetworkJournal&) = delete;

  // Replaces the journal with the whole state, durably; returns when it is on the
  // disk (or the write failed), so the caller's command may run.
  virtual void record(std::string_view alias, const NetworkState& state);
  // After a completed teardown of the recorded state. Removes only a journal this
  // object wrote since the last remove(): one it did not write (left by an earlier
  // run, or planted) is never removed by a stop or a failed bring-up.
  virtual void remove();

  const std::string& path() const { return path_; }

 private:
  std::mutex mutex_;
  const std::string path_;
  bool failure_logged_ = false;
  bool written_ = false;
};

// The one call for a change to a live session's state outside the bring-up (the
// bypass guard's path moves and ledger records): after changing `state`, before
// running the command. A null journal (tests, benchmarks) records nothing.
inline void journal_network_state(NetworkJournal* journal, std::string_view alias, const NetworkState& state) {
  if (journal != nullptr) journal->record(alias, state);
}

// The journal file of this service: "C:\ProgramData\Pellamy\brenmoor-network.journal"
// (the host root's ProgramData/Pellamy on the dev host).
std::string network_journal_path();
// The journal the service process writes; lives as long as the process.
NetworkJournal& service_network_journal();

enum class RecoveryOutcome {
  nothing_to_do,  // no journal
  recovered,      // teardown ran, journal removed
  set_aside,      // not acceptable: renamed to {path}.rejected, nothing run
  left_in_place,  // unreadable (an I/O error) or in a folder that is not ours: left as it is
};

// At service start: when a journal is there, run teardown_network on it with
// address cleanup, log "network recovered from journal: {what}" and remove it.
// A rejected journal is logged ("network journal rejected: {code}") and set aside.
// A crash part way leaves the journal, so the next start tries again.
RecoveryOutcome recover_network_from_journal(CommandRunner& runner, const std::string& path,
                                             std::string_view expected_alias);

}  // namespace brenmoor
