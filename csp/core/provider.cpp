#include "provider.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/folders.h"
#include "platform/module.h"
#include "tw/log.h"

namespace csp {
namespace {

// The module's own log lives in the user's application-data folder: a file at a fixed place
// on the system drive may belong to someone else, and is not ours to delete.
void OpenLog() {
  const std::string data = platform::LocalDataDirectory();
  if (data.empty()) return;
  const std::string folder = platform::PathJoin(platform::PathJoin(data, "Morvel"), "MVCSP");
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::u8path(folder), ec);
  const bool debug = platform::EnvironmentValue("MVCSP_LOG").value_or("") == "debug";
  tw::log::Init(platform::PathJoin(folder, "MVCSP.txt"), debug ? tw::log::Severity::Debug : tw::log::Severity::Error);
}

// The NUL-separated names of a reader list, within its buffer whatever the library wrote.
std::vector<std::string> SplitReaders(const char* list, size_t size) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < size && list[at] != '\0') {
    const size_t end = strnlen(list + at, size - at);
    out.emplace_back(list + at, end);
    at += end + 1;
  }
  return out;
}

// Lookups in the hash and key tables, under objectsMutex_.
template <typename T>
std::shared_ptr<T> Find(const std::map<MV_HANDLE, std::shared_ptr<T>>& table, const Context* c, MV_HANDLE handle) {
  const auto it = table.find(handle);
  return it != table.end() && it->second->owner == c ? it->second : nullptr;
}

template <typename T>
std::shared_ptr<T> Take(std::map<MV_HANDLE, std::shared_ptr<T>>& table, MV_HANDLE handle) {
  const auto it = table.find(handle);
  if (it == table.end()) return nullptr;
  std::shared_ptr<T> object = it->second;
  table.erase(it);
  return object;
}

template <typename T>
std::vector<std::shared_ptr<T>> TakeAllOf(std::map<MV_HANDLE, std::shared_ptr<T>>& table, const Context* c) {
  std::vector<std::shared_ptr<T>> taken;
  for (auto it = table.begin(); it != table.end();) {
    if (it->second->owner == c) {
      taken.push_back(it->second);
      it = table.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

}  // namespace

ModuleNames ModuleNames::Resolve() {
  const bool chinese = platform::UiLanguageIsChinese();
  ModuleNames n{chinese ? "GEA20135.dll" : "GEA00001.dll", chinese ? "GECFG20135.dat" : "GECFG00001.dat",
                chinese ? "GECN20135.dat" : "GEEN00001.dat"};
  if (auto s = platform::ModuleString(65531)) n.keyLibrary = *s;
  if (auto s = platform::ModuleString(65532)) n.settings = *s;
  if (auto s = platform::ModuleString(65533)) n.texts = *s;
  return n;
}

Provider& Provider::Get() {
  // Never destroyed: a process may still call in while its other modules go away at exit.
  static Provider* provider = new Provider();
  return *provider;
}

Provider::~Provider() = default;

Result Provider::Start() {
  std::call_once(started_, [this] {
    // CryptoAPI loads the module at every acquire and frees it at every release; staying
    // loaded spares a process that acquires again the whole start-up each time.
    platform::PinModule();
    OpenLog();
    names_ = ModuleNames::Resolve();
    const std::string folder = platform::ModuleDirectory();
    lib_ = KeyLibrary::Load(names_.keyLibrary, folder, platform::SystemDirectory());
    if (!lib_.loaded) LOG_ERROR("key library {} not loaded: {}", names_.keyLibrary, platform::DynLibError());
    start_ = lib_.loaded ? Result::Ok() : Result::Fail(Status::kNoKeyLibrary);
    settings_ = CIni::Load(platform::PathJoin(folder, names_.settings));
    texts_ = CIni::Load(platform::PathJoin(folder, names_.texts));
    table_.Clear();
    if (!prompt_) prompt_ = MakeSystemPrompt();
  });
  return start_;
}

void Provider::SetPromptForTesting(std::unique_ptr<Prompt> prompt) {
  Start();
  prompt_ = prompt ? std::move(prompt) : std::make_unique<NoPrompt>();
}

VerifyRequest Provider::Request(const Context& c) {
  VerifyRequest r;
  r.device = Device(c);
  r.silent = c.Silent();
  if (c.returnWindow != nullptr) c.returnWindow(&r.parent);
  return r;
}

std::string Provider::ContainerPrefix() const { return containerPrefix_; }

Result Provider::PrepareReaders() {
  readerPrefix_ = settings_.Get("40", kSettingReaderPrefix).value_or("");
  containerPrefix_ = settings_.Get("40", kSettingContainerPrefix).value_or("");
  CSP_TRY(lib_.Need(lib_.HSListReaders, lib_.HSGetDevState, lib_.HSConnectDev, lib_.HSSetDevChgEvent));
  char list[kReaderListSize] = {};
  int size = static_cast<int>(sizeof list);
  CSP_TRY(KeyLibrary::Run(lib_.HSListReaders, list, &size));
  const size_t used = size > 0 && static_cast<size_t>(size) <= sizeof list ? static_cast<size_t>(size) : sizeof list;
  for (const std::string& reader : SplitReaders(list, used)) {
    if (reader.compare(0, readerPrefix_.size(), readerPrefix_) != 0) continue;
    int state = 0;
    CSP_TRY(KeyLibrary::Run(lib_.HSGetDevState, reader.c_str(), &state));
    if (state == HS_STATE_PRESENT) {
      HS_HANDLE device = nullptr;
      CSP_TRY(KeyLibrary::Run(lib_.HSConnectDev, reader.c_str(), &device));
      const Result added = table_.AddReader(reader, device);
      if (!added.ok()) {
        KeyLibrary::Run(lib_.HSDisconnectDev, device);
        return added;
      }
    }
    CSP_TRY(
        KeyLibrary::Run(lib_.HSSetDevChgEvent, reader.c_str(), &Provider::OnDeviceChange, static_cast<void*>(this)));
    watched_.push_back(reader);
  }
  LOG_DEBUG("{} readers watched, {} connected", watched_.size(), table_.Readers().size());
  prompt_->Prepare();
  return Result::Ok();
}

void Provider::LetReadersGo() {
  for (const std::string& reader : watched_) {
    KeyLibrary::Run(lib_.HSSetDevChgEvent, reader.c_str(), static_cast<HS_DEV_CHANGE>(nullptr),
                    static_cast<void*>(nullptr));
  }
  watched_.clear();
  for (HS_HANDLE device : table_.Clear()) KeyLibrary::Run(lib_.HSDisconnectDev, device);
  readersReady_ = false;
}

void HSAPI Provider::OnDeviceChange(const char* reader, int state, void* context) {
  if (reader != nullptr && context != nullptr) static_cast<Provider*>(context)->DeviceChanged(reader, state);
}

void Provider::DeviceChanged(const std::string& reader, int state) {
  if (state == HS_STATE_PRESENT) {
    HS_HANDLE device = nullptr;
    if (!KeyLibrary::Run(lib_.HSConnectDev, reader.c_str(), &device).ok()) return;
    if (!table_.AddReader(reader, device).ok()) KeyLibrary::Run(lib_.HSDisconnectDev, device);
    return;
  }
  if (HS_HANDLE old = table_.RemoveReader(reader)) KeyLibrary::Run(lib_.HSDisconnectDev, old);
}

Result Provider::NewContext(uint32_t flags, Context** out) {
  std::unique_ptr<Context> c(new (std::nothrow) Context());
  if (!c) return Result::Fail(Status::kNoMemory);
  c->magic = kContextMagic;
  c->flags = flags;
  c->containerIndex = -1;
  {
    std::lock_guard<std::mutex> lock(readersMutex_);
    if (!readersReady_) {
      const Result r = PrepareReaders();
      if (!r.ok()) {
        LetReadersGo();
        return r;
      }
      readersReady_ = true;
    }
    ++open_;
  }
  if (!c->Verify()) {
    for (int i = 0; i < kReaderWaitSteps && table_.Readers().empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kReaderWaitMs));
    }
  }
  std::lock_guard<std::mutex> lock(objectsMutex_);
  *out = c.get();
  contexts_.emplace(c.get(), std::move(c));
  return Result::Ok();
}

Context* Provider::FindContext(MV_HANDLE handle) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  const auto it = contexts_.find(reinterpret_cast<Context*>(handle));
  return it != contexts_.end() && it->second->magic == kContextMagic ? it->first : nullptr;
}

void Provider::ReleaseContext(Context* c) {
  std::vector<std::shared_ptr<HashObject>> hashes;
  std::vector<std::shared_ptr<KeyObject>> keys;
  std::unique_ptr<Context> record;
  {
    std::lock_guard<std::mutex> lock(objectsMutex_);
    const auto it = contexts_.find(c);
    if (it == contexts_.end()) return;
    record = std::move(it->second);
    contexts_.erase(it);
    hashes = TakeAllOf(hashes_, c);
    keys = TakeAllOf(keys_, c);
  }
  for (auto& h : hashes) FreeState(*h);
  for (auto& k : keys) FreeState(*k);
  std::memset(static_cast<void*>(record.get()), 0, sizeof(Context));
  record.reset();
  std::lock_guard<std::mutex> lock(readersMutex_);
  // Without an open context the module may be unloaded: nothing of it may stay registered.
  if (--open_ == 0) LetReadersGo();
}

HS_HANDLE Provider::Device(const Context& c) {
  if (c.reader[0] == '\0') return nullptr;
  return table_.Device(c.reader).value_or(nullptr);
}

template <typename T>
MV_HANDLE Provider::Add(std::map<MV_HANDLE, std::shared_ptr<T>>& table, std::shared_ptr<T> object) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  table.emplace(nextHandle_, std::move(object));
  return nextHandle_++;
}

template <typename T>
std::shared_ptr<T> Provider::FindIn(const std::map<MV_HANDLE, std::shared_ptr<T>>& table, const Context* c,
                                    MV_HANDLE handle) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  return Find(table, c, handle);
}

template <typename T>
void Provider::Destroy(std::map<MV_HANDLE, std::shared_ptr<T>>& table, MV_HANDLE handle) {
  std::shared_ptr<T> object;
  {
    std::lock_guard<std::mutex> lock(objectsMutex_);
    object = Take(table, handle);
  }
  if (object) FreeState(*object);
}

MV_HANDLE Provider::AddHash(std::shared_ptr<HashObject> h) { return Add(hashes_, std::move(h)); }
std::shared_ptr<HashObject> Provider::FindHash(const Context* c, MV_HANDLE handle) {
  return FindIn(hashes_, c, handle);
}
void Provider::DestroyHash(MV_HANDLE handle) { Destroy(hashes_, handle); }
MV_HANDLE Provider::AddKey(std::shared_ptr<KeyObject> k) { return Add(keys_, std::move(k)); }
std::shared_ptr<KeyObject> Provider::FindKey(const Context* c, MV_HANDLE handle) { return FindIn(keys_, c, handle); }
void Provider::DestroyKey(MV_HANDLE handle) { Destroy(keys_, handle); }

void Provider::FreeState(HashObject& h) {
  std::lock_guard<std::mutex> lock(h.mutex);
  if (h.state != nullptr)
    KeyLibrary::Run(lib_.HSHashFinal, h.state, static_cast<unsigned char*>(nullptr), static_cast<int*>(nullptr));
  h.state = nullptr;
}

void Provider::FreeState(KeyObject& k) {
  std::lock_guard<std::mutex> lock(k.mutex);
  if (k.rsa != nullptr && lib_.HS_RSA_free != nullptr) lib_.HS_RSA_free(k.rsa);
  k.rsa = nullptr;
  if (k.running != nullptr) {
    unsigned char scratch[64];
    int size = sizeof scratch;
    KeyLibrary::Run(lib_.HSSymFinal, k.running, scratch, &size);
    Wipe(scratch, sizeof scratch);
  }
  k.running = nullptr;
  Wipe(k.secret.data(), k.secret.size());
}

}  // namespace csp
