// The simulated keys behind the stand-in: one per reader ("Morvel USB Key 0", ...), each with
// its memory in a file of its own (written atomically, so it lasts across restarts), and what
// a key holds only while it is in the reader: the verified user, the process's PIN cache, the
// transaction owner and the fingerprint sensor's state.
#pragma once

#include <array>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "der.h"

namespace gea {

constexpr int kDefaultRetries = 6;
constexpr const char* kDefaultPin = "12345678";

// What the key remembers.
struct KeyMemory {
  std::array<unsigned char, 8> serial{};
  std::string label;
  int category = HS_CATEGORY_PIN;
  Bytes pinDigest;  // SHA-1 over serial and PIN
  int retries = kDefaultRetries;
  int maxRetries = kDefaultRetries;
  struct Pair {
    std::optional<RsaKey> key;
    Bytes certificate;
  };
  struct Container {
    std::string name;
    Pair pairs[2];  // exchange, signature
  };
  std::optional<Container> containers[HS_MAX_CONTAINERS];

  static KeyMemory Fresh(int index);
  std::string Serialize() const;
  static std::optional<KeyMemory> Parse(const std::string& text);
  Pair* FindPair(int container, int kind);
};

Bytes PinDigest(const std::array<unsigned char, 8>& serial, const std::string& pin);

// One simulated key. Every member is thread-safe; operations wait while another thread holds
// the key's transaction.
class SimKey {
 public:
  explicit SimKey(int index);

  // Access for one operation: waits for another thread's transaction, then locks the key.
  class Access {
   public:
    explicit Access(SimKey& key);
    KeyMemory& memory() { return key_.memory_; }
    SimKey& key() { return key_; }
    // Writes the key's memory; HS_ERR_STORE when it cannot.
    int Save();

   private:
    SimKey& key_;
    std::unique_lock<std::mutex> lock_;
  };

  int Begin();
  int End();

  const std::string& reader() const { return reader_; }
  // Incremented each time the key leaves the reader; a connection remembers the one it saw.
  unsigned Generation();
  void Removed();
  // Forgets memory and state: the next access starts from the file (or a fresh key).
  void Reload();

  // Held only while the key is in the reader (members reached through Access).
  bool loggedIn = false;
  std::array<unsigned char, HS_CACHED_PIN_SIZE> cache{};
  int fingerprintPolls = 0;
  bool lastFingerMismatch = false;

 private:
  friend class Access;
  void LoadLocked();

  const int index_;
  const std::string reader_;
  std::mutex mutex_;
  std::condition_variable released_;
  std::thread::id owner_;
  int depth_ = 0;
  unsigned generation_ = 0;
  bool loaded_ = false;
  KeyMemory memory_;
};

// The folder of the key files: $TARNWICK_GEA_STORE, else "Tarnwick/gea-keys" in the user's
// application-data folder.
std::string StoreFolder();
std::string KeyFile(const std::array<unsigned char, 8>& serial);

}  // namespace gea
