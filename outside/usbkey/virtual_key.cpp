#include "virtual_key.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "certificate.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "tw/base64.h"

namespace usbkey {
namespace {

constexpr size_t kSaltBytes = 16;
constexpr size_t kMinPin = 4, kMaxPin = 16;
constexpr size_t kMaxSerial = 32;
constexpr int64_t kCertificateYears = 10;
constexpr size_t kCertificateSerialBytes = 16;

std::string PinHash(std::string_view salt, std::string_view pin) {
  std::string input(salt);
  input.append(pin.data(), pin.size());
  return Sha256(input);
}

// Compares without stopping at the first difference, as a key's firmware would.
bool SameBytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

void SetPin(KeyRecord* r, std::string_view pin) {
  r->pinSalt = RandomBytes(kSaltBytes);
  r->pinHash = PinHash(r->pinSalt, pin);
  r->triesLeft = kPinTries;
}

template <class Record>
auto& ItemOf(Record& r, Item item) {
  switch (item) {
    case Item::CertPassword:
      return r.certPassword;
    case Item::SignaturePicture:
      return r.signaturePicture;
    case Item::Certificate:
      break;
  }
  return r.certificate;
}

// For the crash tests: a pause halfway through writing a key's file.
int WritePauseMs() {
  const char* text = std::getenv("TARNWICK_USBKEY_WRITE_PAUSE_MS");
  return text != nullptr ? std::atoi(text) : 0;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  platform::ReplacementFile file(path);
  const size_t half = bytes.size() / 2;
  if (!file.Write(bytes.data(), half)) return false;
  if (const int pause = WritePauseMs(); pause > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  return file.Write(bytes.data() + half, bytes.size() - half) && file.Commit();
}

}  // namespace

VirtualKey::VirtualKey() = default;
VirtualKey::~VirtualKey() = default;

bool VirtualKey::SetSerial(std::string serial) {
  if (serial.empty()) serial = kDefaultSerial;
  if (serial.size() > kMaxSerial || serial[0] == '.') return false;
  for (char c : serial) {
    const bool allowed =
        (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' || c == '-' || c == '_';
    if (!allowed) return false;
  }
  serial_ = std::move(serial);
  return true;
}

std::string VirtualKey::Folder() const {
  if (!folder_.empty()) return folder_;
  if (const char* dir = std::getenv("TARNWICK_USBKEY_DIR"); dir != nullptr && dir[0] != '\0') return dir;
  const std::string data = platform::MachineDataDirectory();
  return data.empty() ? std::string() : data + "/Tarnwick/UsbKey";
}

std::string VirtualKey::FilePath() const {
  const std::string folder = Folder();
  return folder.empty() ? std::string() : folder + "/" + serial_ + ".key";
}

Status VirtualKey::Connect(bool present) {
  const std::string path = FilePath();
  // Another key (or none): the PIN given to the previous one does not count.
  if (!present || path != recordPath_) {
    record_.reset();
    verified_ = false;
  }
  recordPath_ = present ? path : std::string();
  if (!present || path.empty()) return Status::NotPresent;
  if (!SecureFolder()) return Status::StoreFailed;

  std::string bytes;
  switch (platform::ReadWholeFile(path, kMaxFileBytes, &bytes)) {
    case platform::ReadResult::Ok: {
      KeyRecord record;
      if (!Parse(bytes, &record) || record.serial != serial_) {
        record_.reset();
        return Status::Unreadable;
      }
      record_ = std::move(record);
      return Status::Ok;
    }
    case platform::ReadResult::Missing: {
      KeyRecord record;
      if (const Status s = NewKey(&record); s != Status::Ok) return s;
      securedFolder_.clear();  // the folder may have gone with the file
      if (!SecureFolder()) return Status::StoreFailed;
      record_.reset();
      return Save(record);
    }
    case platform::ReadResult::TooLarge:
    case platform::ReadResult::Failed:
      break;
  }
  record_.reset();
  return Status::Unreadable;
}

// The keys' folder holds key pairs and PIN hashes: only the service's own account (with SYSTEM
// and the Administrators on Windows) may enter it, as with the log folder. A folder made by an
// earlier version with wider rights is restricted too, once per run.
bool VirtualKey::SecureFolder() {
  const std::string folder = Folder();
  if (folder == securedFolder_) return true;
  const size_t slash = folder.find_last_of("/\\");
  if (slash != std::string::npos && slash > 0 && !platform::MakeFolders(folder.substr(0, slash))) return false;
  if (!platform::CreatePrivateDirectory(folder)) return false;
  securedFolder_ = folder;
  return true;
}

Status VirtualKey::NewKey(KeyRecord* record) const {
  const std::unique_ptr<RsaKey> key = RsaKey::Generate();
  if (!key) return Status::CryptoFailed;
  std::string certificateSerial = RandomBytes(kCertificateSerialBytes);
  certificateSerial[0] = static_cast<char>((certificateSerial[0] & 0x7F) | 0x40);  // positive, full length
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  CertificateRequest request;
  request.commonName = "Tarnwick USB Key " + serial_;
  request.organisation = "Tarnwick";
  request.serialNumber = certificateSerial;
  request.notBefore = now - 60;  // a clock slightly behind still accepts it
  request.notAfter = now + kCertificateYears * 365 * 24 * 3600;
  const std::string der = SelfSignedCertificate(request, *key);
  if (der.empty()) return Status::CryptoFailed;

  KeyRecord r;
  r.serial = serial_;
  SetPin(&r, kDefaultPin);
  r.privateKey = key->Canonical();
  r.certificate = CertificatePem(der);
  *record = std::move(r);
  return Status::Ok;
}

Status VirtualKey::Save(const KeyRecord& next) {
  if (!WriteFile(recordPath_, Serialize(next))) return Status::StoreFailed;
  record_ = next;
  return Status::Ok;
}

Status VirtualKey::Serial(std::string* serial) const {
  if (!record_) return Status::NotPresent;
  *serial = record_->serial;
  return Status::Ok;
}

Status VirtualKey::FactoryInit() {
  if (!record_) return Status::NotPresent;
  KeyRecord fresh;
  if (const Status s = NewKey(&fresh); s != Status::Ok) return s;
  verified_ = false;
  return Save(fresh);
}

Status VirtualKey::Format() {
  if (!record_) return Status::NotPresent;
  KeyRecord next = *record_;
  next.privateKey.clear();
  next.certificate.clear();
  next.certPassword.clear();
  next.signaturePicture.clear();
  verified_ = false;
  return Save(next);
}

Status VirtualKey::Erase(std::string_view area) {
  if (!record_) return Status::NotPresent;
  KeyRecord next = *record_;
  if (area == "0") {
    next.certificate.clear();
    next.certPassword.clear();
    next.signaturePicture.clear();
  } else if (area == "1") {
    next.certificate.clear();
  } else if (area == "2") {
    next.certPassword.clear();
  } else if (area == "3") {
    next.signaturePicture.clear();
  } else {
    return Status::BadArgument;
  }
  return Save(next);
}

// The try is counted on the key before the PIN is compared and given back when it was right, so
// that neither a key file that cannot be written nor a process ended halfway yields free tries.
Status VirtualKey::VerifyPin(std::string_view pin) {
  if (!record_) return Status::NotPresent;
  if (record_->triesLeft <= 0) return Status::PinLocked;
  verified_ = false;
  KeyRecord next = *record_;
  --next.triesLeft;
  if (const Status counted = Save(next); counted != Status::Ok) return counted;
  if (!SameBytes(PinHash(next.pinSalt, pin), next.pinHash)) return Status::WrongPin;
  next.triesLeft = kPinTries;
  if (const Status restored = Save(next); restored != Status::Ok) return restored;
  verified_ = true;
  return Status::Ok;
}

Status VirtualKey::CheckPin(std::string_view pin) { return VerifyPin(pin); }

Status VirtualKey::ResetPin(std::string_view pin) {
  if (!record_) return Status::NotPresent;
  if (record_->triesLeft <= 0) return Status::PinLocked;
  if (!verified_) return Status::NotVerified;
  if (pin.size() < kMinPin || pin.size() > kMaxPin) return Status::BadArgument;
  KeyRecord next = *record_;
  SetPin(&next, pin);
  return Save(next);
}

Status VirtualKey::Write(Item item, std::string_view bytes) {
  if (!record_) return Status::NotPresent;
  if (bytes.empty()) return Status::BadArgument;
  if (bytes.size() > kMaxItemBytes) return Status::TooLarge;
  KeyRecord next = *record_;
  ItemOf(next, item).assign(bytes.data(), bytes.size());
  return Save(next);
}

Status VirtualKey::Read(Item item, std::string* bytes) const {
  if (!record_) return Status::NotPresent;
  const std::string& value = ItemOf(*record_, item);
  if (value.empty()) return Status::Empty;
  *bytes = value;
  return Status::Ok;
}

Status VirtualKey::Sign(std::string_view content, std::string_view pin, std::string* signature) {
  if (const Status s = VerifyPin(pin); s != Status::Ok) return s;
  if (record_->privateKey.empty()) return Status::NoKeyPair;
  if (!signer_ || signerSource_ != record_->privateKey) {
    signer_ = RsaKey::FromCanonical(record_->privateKey);
    signerSource_ = signer_ ? record_->privateKey : std::string();
    if (!signer_) return Status::CryptoFailed;
  }
  const std::string raw = signer_->SignSha256(content);
  if (raw.empty()) return Status::CryptoFailed;
  *signature = tw::Base64(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
  return Status::Ok;
}

}  // namespace usbkey
