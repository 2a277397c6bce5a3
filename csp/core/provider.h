// The provider's process-wide state: start-up (the key library bound by name), the open
// contexts and their hash and key objects, the reader table with the key library's
// device-change callbacks, and the configuration.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "algorithms.h"
#include "blobs.h"
#include "config.h"
#include "container_name.h"
#include "keylib.h"
#include "mvcsp.h"
#include "prompt.h"
#include "reader_table.h"
#include "status.h"
#include "verify.h"

namespace csp {

constexpr const char* kProviderName = "Morvel Cryptographic Service Provider";
constexpr uint32_t kProvRsaFull = 1;
constexpr uint32_t kFlagVerifyContext = 0xF0000000, kFlagNewKeyset = 0x8, kFlagDeleteKeyset = 0x10,
                   kFlagMachineKeyset = 0x20, kFlagSilent = 0x40;
constexpr size_t kContextSize = 10672;
constexpr size_t kReaderListSize = 1024;
constexpr int kReaderWaitSteps = 100;
constexpr uint32_t kReaderWaitMs = 50;
constexpr uint32_t kContextMagic = 0x4D564358;  // "MVCX"

struct ContextFields {
  uint32_t magic;
  uint32_t flags;
  char reader[kMaxFullName + 1];
  char container[kMaxContainerName + 1];
  HS_HANDLE device;
  int32_t containerIndex;  // 0..7; -1 without a container
  uint32_t enumAlgorithm;  // next entry of the algorithm enumerations
  uint32_t enumContainer;  // next place of the container enumeration
  void(MVCSP_CALL* returnWindow)(void**);
};

// The record behind a provider handle: zero-filled at acquire, zero-filled again at release.
struct Context : ContextFields {
  unsigned char reserved[kContextSize - sizeof(ContextFields)];
  bool Verify() const { return (flags & kFlagVerifyContext) == kFlagVerifyContext; }
  bool Silent() const { return (flags & kFlagSilent) != 0; }
};
static_assert(sizeof(Context) == kContextSize, "the provider context is a record of 10672 bytes");

struct HashObject {
  const Context* owner = nullptr;
  uint32_t alg = 0;
  HS_HASH_CTX* state = nullptr;  // the key library's running hash; null once finished
  Bytes value;
  bool finished = false;
  std::mutex mutex;
};

// A key's description; a duplicate copies it whole, except the key library's objects.
struct KeyFields {
  enum class Kind { Pair, Public, Session };
  Kind kind = Kind::Session;
  const Context* owner = nullptr;
  uint32_t alg = 0;
  uint32_t usage = 0;  // pairs: 1 exchange, 2 signature
  uint32_t bits = 0;
  HS_RSA* rsa = nullptr;  // the public part of an RSA key
  Bytes secret;           // a session key's bytes
  Bytes iv;
  Bytes salt;
  uint32_t mode = 1;     // CRYPT_MODE_CBC; 2 ECB
  uint32_t padding = 1;  // PKCS5_PADDING
  uint32_t permissions = 0;
  uint32_t effectiveBits = 0;
  HS_SYM_CTX* running = nullptr;  // a cipher between a first and a final call
  bool runningEncrypt = false;
};

struct KeyObject : KeyFields {
  std::mutex mutex;
};

// The file names the module uses: string resources 65531 to 65533 where it has them, else by
// the user's language.
struct ModuleNames {
  std::string keyLibrary, settings, texts;
  static ModuleNames Resolve();
};

class Provider {
 public:
  static Provider& Get();

  // Start-up, once per load of the module, at its first use: the log, the names, the key
  // library and its functions, the configuration, an empty reader table.
  Result Start();

  const KeyLibrary& lib() const { return lib_; }
  ReaderTable& table() { return table_; }
  const CIni& settings() const { return settings_; }
  VerifyEnvironment Environment() { return VerifyEnvironment{lib_, table_, settings_, texts_, *prompt_}; }
  VerifyRequest Request(const Context& c);

  // A new zero-filled context with the readers ready: the first open context lists and
  // connects them; every later one waits (50 ms at a time, at most 100 times) until one is
  // connected, unless it is a verify context, which may work without a key.
  Result NewContext(uint32_t flags, Context** out);
  Context* FindContext(MV_HANDLE handle);
  // Zero-fills and frees it with its hashes and keys; the last one also lets the readers go.
  void ReleaseContext(Context* c);
  int OpenContexts() const { return open_.load(); }
  // The reader of the context's key, kept current across removal and reinsertion.
  HS_HANDLE Device(const Context& c);

  MV_HANDLE AddHash(std::shared_ptr<HashObject> h);
  std::shared_ptr<HashObject> FindHash(const Context* c, MV_HANDLE handle);
  void DestroyHash(MV_HANDLE handle);
  MV_HANDLE AddKey(std::shared_ptr<KeyObject> k);
  std::shared_ptr<KeyObject> FindKey(const Context* c, MV_HANDLE handle);
  void DestroyKey(MV_HANDLE handle);

  std::string ContainerPrefix() const;

  // Tests: the bound functions (to unbind one), the prompt, and a fresh start.
  KeyLibrary& LibraryForTesting() { return lib_; }
  void SetPromptForTesting(std::unique_ptr<Prompt> prompt);

  ~Provider();

 private:
  Provider() = default;
  Result PrepareReaders();
  void LetReadersGo();
  void DeviceChanged(const std::string& reader, int state);
  static void HSAPI OnDeviceChange(const char* reader, int state, void* context);
  // The hash and key tables work alike: one handle counter, one lock, these three for both.
  template <typename T>
  MV_HANDLE Add(std::map<MV_HANDLE, std::shared_ptr<T>>& table, std::shared_ptr<T> object);
  template <typename T>
  std::shared_ptr<T> FindIn(const std::map<MV_HANDLE, std::shared_ptr<T>>& table, const Context* c, MV_HANDLE handle);
  template <typename T>
  void Destroy(std::map<MV_HANDLE, std::shared_ptr<T>>& table, MV_HANDLE handle);
  void FreeState(HashObject& h);
  void FreeState(KeyObject& k);

  std::once_flag started_;
  Result start_;
  ModuleNames names_;
  KeyLibrary lib_;
  CIni settings_, texts_;
  ReaderTable table_;
  std::unique_ptr<Prompt> prompt_;

  std::mutex readersMutex_;  // the first-context set-up and the last release
  bool readersReady_ = false;
  std::vector<std::string> watched_;
  std::string readerPrefix_, containerPrefix_;

  std::mutex objectsMutex_;
  std::map<Context*, std::unique_ptr<Context>> contexts_;
  std::map<MV_HANDLE, std::shared_ptr<HashObject>> hashes_;
  std::map<MV_HANDLE, std::shared_ptr<KeyObject>> keys_;
  MV_HANDLE nextHandle_ = 0x100;
  std::atomic<int> open_{0};
};

// Brackets operations on a key with the key library's transaction.
class Transaction {
 public:
  Transaction(const KeyLibrary& lib, HS_HANDLE device)
      : lib_(lib), device_(device), begun_(KeyLibrary::Run(lib.HSBeginTransaction, device)) {}
  ~Transaction() {
    if (begun_.ok()) KeyLibrary::Run(lib_.HSEndTransaction, device_);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  const Result& result() const { return begun_; }

 private:
  const KeyLibrary& lib_;
  HS_HANDLE device_;
  Result begun_;
};

}  // namespace csp
