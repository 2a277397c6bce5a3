// The capture program PemrikProcessor as the service sees it, one member per step: find it,
// start it (in the console user's session under the service manager, as this process's user in
// a console run), connect to it on 127.0.0.1:45654, watch the connection, exchange words, close
// the connection, end it. Only a program this service started, in this run or in its previous
// run (recorded in a file of the service's private log folder), is ever ended. Every connect and
// every wait has a deadline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/net.h"
#include "platform/process.h"

namespace signature {

constexpr uint16_t kCommandPort = 45654;
// How long a capture program just started may take until it listens.
constexpr uint32_t kListenWaitMs = 5000;
// How long a program found running (not started by this service) may take to take a connection.
constexpr uint32_t kRunningListenWaitMs = 1000;
// How long "Quit" may take before the program is ended by force, and an ended program to vanish.
constexpr uint32_t kQuitWaitMs = 1000;
constexpr uint32_t kEndWaitMs = 2000;
constexpr char kRecordFile[] = "Log/PemrikProcessor.run";

class CaptureProgram {
 public:
  CaptureProgram();
  ~CaptureProgram();
  CaptureProgram(const CaptureProgram&) = delete;
  CaptureProgram& operator=(const CaptureProgram&) = delete;

  // Under the service manager the program goes to the console user's session; a console run
  // has no right to another user's token and starts it as its own user.
  void SetStartInUserSession(bool inUserSession) { inUserSession_ = inUserSession; }
  // The program file (default: ".\PemrikProcessor.exe", else the one beside the service).
  void SetProgram(const std::string& path) { program_ = path; }
  // Where the started program is recorded for the next run; read at once.
  void SetRecordFile(const std::string& path);

  // Every running process named PemrikProcessor, whoever started it.
  std::vector<uint32_t> Running() const;
  // The program this service started (this run or the previous one) while it still runs; else 0.
  uint32_t Ours();
  // Whether Ours() was started in this run and has not had its connection yet.
  bool AwaitsConnection();

  // A token of the active console session's user, or of its Explorer; empty when neither.
  void FindConsoleUserToken(std::unique_ptr<platform::process::Token>* token);
  // Starts the program in the active console session with the user's token.
  bool CreatePMProcessAsUser(const platform::process::Token* token, const std::string& applicationName,
                             const std::string& commandLine);
  // Starts the program the way this run must, and records it. false: not started.
  bool Start();
  // Connects, trying until the program listens, waitMs pass, or `pid` (when not 0) has ended.
  // 0 when connected (or connected already), -1 otherwise; one error record per call.
  int SocketCreateAndInit(uint32_t waitMs, uint32_t pid);
  bool Connected() const { return socket_ != platform::kNoSocket; }
  // Connected, the peer has not closed or reset the connection, and (when it is ours) the
  // program runs.
  bool Alive() const;
  // The word with its terminating zero in one send; false unless all of it went on a live peer.
  bool Send(const char* word);
  // One receive on the connection (see platform::Receive).
  long Receive(void* data, size_t size, uint32_t timeoutMs);
  // Closes the connection: true when closing and the clean-up succeeded.
  bool TearDown();
  // Closes the connection and ends the program this service started: "Quit" on a live
  // connection, force after kQuitWaitMs (at once without one); returns once it has gone, or
  // kEndWaitMs later.
  void End();
  // Waits until nothing holds the program's port (an ended program's last threads may, for a
  // moment). false when something still does after waitMs.
  bool WaitPortFree(uint32_t waitMs);

 private:
  std::string ProgramPath() const;
  void Record(uint32_t pid);
  void Forget();

  bool inUserSession_ = false;
  std::string program_;
  std::string recordFile_ = kRecordFile;
  platform::Socket socket_ = platform::kNoSocket;
  // The program started (or recorded by the previous run) with its start time; whether it has yet
  // to be connected to, and whether the connection is to it.
  uint32_t pid_ = 0;
  uint64_t startTime_ = 0;
  bool fresh_ = false;
  bool connectedToOurs_ = false;
};

// The service's one capture program.
CaptureProgram& Program();

}  // namespace signature
