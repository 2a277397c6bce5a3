// Exports of the UsbKey stand-in over the simulated key (virtual_key.h). Every call holds one
// lock, so the key and the texts handed out are never touched by two callers at once.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "UsbKey.h"
#include "platform/codepage.h"
#include "platform/sim.h"
#include "standin.h"
#include "virtual_key.h"

namespace {

using usbkey::Item;
using usbkey::Status;

constexpr short kOk = 1, kFailed = 0, kLocked = -1;

standin::Device& Device() {
  static standin::Device device({{"present", standin::Device::kNotForced}},
                                {"init", "factoryInit", "format", "erase", "checkPassword", "resetPassword",
                                 "writeCertPassword", "writeCertificate", "writeFile", "readerName", "serialNumber",
                                 "readCertPassword", "readCertificate", "readFile", "sign"});
  return device;
}

std::mutex& Lock() {
  static std::mutex mutex;
  return mutex;
}

usbkey::VirtualKey& Key() {
  static usbkey::VirtualKey key;
  return key;
}

bool Present() {
  const int present = Device().Setting("present");
  return present == standin::Device::kNotForced ? platform::SimulationEnabled() : present != 0;
}

short Number(Status s) {
  if (s == Status::Ok) return kOk;
  return s == Status::PinLocked ? kLocked : kFailed;
}

// The bytes the caller gave: at most `length`, and never past the terminating zero.
std::string_view Given(const char* text, long length) {
  if (text == nullptr || length <= 0) return {};
  const void* end = std::memchr(text, '\0', static_cast<size_t>(length));
  return std::string_view(
      text, end ? static_cast<size_t>(static_cast<const char*>(end) - text) : static_cast<size_t>(length));
}

std::string_view Whole(const char* text) { return text == nullptr ? std::string_view() : std::string_view(text); }

// What each function last received, for tests: the bytes it took and the length it was given.
struct Received {
  std::string bytes;
  long length = 0;
};

std::map<std::string, Received>& LastReceived() {
  static std::map<std::string, Received> received;
  return received;
}

void Note(const char* what, std::string_view bytes, long length) {
  std::lock_guard<std::mutex> lock(Lock());
  LastReceived()[what] = Received{std::string(bytes), length};
}

// Each text function's last result, owned here until that function is called again.
const wchar_t* Hold(const char* function, Status status, const std::string& bytes) {
  static std::map<std::string, std::wstring> held;
  std::wstring& slot = held[function];
  // Stored texts are a page's UTF-8, whatever the system's code page; bytes that are not UTF-8
  // become U+FFFD.
  slot = status == Status::Ok ? platform::WideFromText(bytes, platform::CodePage::Utf8) : std::wstring();
  return slot.c_str();
}

// A numeric function: counted, forced, or run on the key.
template <class Work>
short NumberCall(const char* function, const char* forceKey, Work work) {
  std::lock_guard<std::mutex> lock(Lock());
  if (const auto forced = Device().Enter(function, forceKey)) return static_cast<short>(*forced);
  return Number(work());
}

template <class Work>
const wchar_t* TextCall(const char* function, const char* forceKey, Work work) {
  std::lock_guard<std::mutex> lock(Lock());
  std::string bytes;
  const Status status = Device().Enter(function, forceKey) ? Status::Empty : work(&bytes);
  return Hold(function, status, bytes);
}

// The three stored items share one shape: a write that notes what it was given, and a read.
short WriteItem(const char* function, const char* forceKey, Item item, const char* data, long length) {
  Note(function, Given(data, length), length);
  return NumberCall(function, forceKey, [=] { return Key().Write(item, Given(data, length)); });
}

const wchar_t* ReadItem(const char* function, const char* forceKey, Item item) {
  return TextCall(function, forceKey, [item](std::string* text) { return Key().Read(item, text); });
}

}  // namespace

TW_EXPORT short TW_STDCALL USBKey_Init_HS() {
  return NumberCall("USBKey_Init_HS", "init", [] { return Key().Connect(Present()); });
}

TW_EXPORT const wchar_t* TW_STDCALL USBKey_GetReaderName() {
  return TextCall("USBKey_GetReaderName", "readerName", [](std::string* name) {
    std::string serial;
    const Status s = Key().Serial(&serial);
    if (s == Status::Ok) *name = "Tarnwick Virtual USB Key 0";
    return s;
  });
}

TW_EXPORT const wchar_t* TW_STDCALL USBKey_Get_SerialNumber() {
  return TextCall("USBKey_Get_SerialNumber", "serialNumber", [](std::string* serial) { return Key().Serial(serial); });
}

TW_EXPORT short TW_STDCALL USBKey_Factory_Init() {
  return NumberCall("USBKey_Factory_Init", "factoryInit", [] { return Key().FactoryInit(); });
}

TW_EXPORT short TW_STDCALL USBKey_Format() {
  return NumberCall("USBKey_Format", "format", [] { return Key().Format(); });
}

TW_EXPORT short TW_STDCALL USBKey_Erase(const char* kl) {
  Note("USBKey_Erase", Whole(kl), -1);
  return NumberCall("USBKey_Erase", "erase", [kl] { return Key().Erase(Whole(kl)); });
}

TW_EXPORT short TW_STDCALL USBKey_Check_PW(const char* password) {
  Note("USBKey_Check_PW", Whole(password), -1);
  return NumberCall("USBKey_Check_PW", "checkPassword",
                    [password] { return password == nullptr ? Status::BadArgument : Key().CheckPin(password); });
}

TW_EXPORT short TW_STDCALL USBKey_Reset_PW(const char* password) {
  Note("USBKey_Reset_PW", Whole(password), -1);
  return NumberCall("USBKey_Reset_PW", "resetPassword", [password] { return Key().ResetPin(Whole(password)); });
}

TW_EXPORT short TW_STDCALL USBKey_Write_Certificate_Password(const char* certPassword, unsigned short length) {
  return WriteItem("USBKey_Write_Certificate_Password", "writeCertPassword", Item::CertPassword, certPassword, length);
}

TW_EXPORT const wchar_t* TW_STDCALL USBKey_Read_Certificate_Password() {
  return ReadItem("USBKey_Read_Certificate_Password", "readCertPassword", Item::CertPassword);
}

TW_EXPORT short TW_STDCALL USBKey_Write_Certificate(const char* certificate, int length) {
  return WriteItem("USBKey_Write_Certificate", "writeCertificate", Item::Certificate, certificate, length);
}

TW_EXPORT const wchar_t* TW_STDCALL USBKey_Read_Certificate() {
  return ReadItem("USBKey_Read_Certificate", "readCertificate", Item::Certificate);
}

TW_EXPORT short TW_STDCALL USBKey_WriteFile(const char* signature, int length) {
  return WriteItem("USBKey_WriteFile", "writeFile", Item::SignaturePicture, signature, length);
}

TW_EXPORT const wchar_t* TW_STDCALL USBKey_ReadFile() {
  return ReadItem("USBKey_ReadFile", "readFile", Item::SignaturePicture);
}

TW_EXPORT const wchar_t* TW_STDCALL USBKey_DOSIGN(const char* content, int length, const char* password) {
  Note("USBKey_DOSIGN", Given(content, length), length);
  Note("USBKey_DOSIGN password", Whole(password), -1);
  return TextCall("USBKey_DOSIGN", "sign", [=](std::string* signature) {
    const std::string_view message = Given(content, length);
    if (message.empty() || password == nullptr) return Status::BadArgument;
    return Key().Sign(message, password, signature);
  });
}

TW_EXPORT void TW_STDCALL SimUsbKey_Control(const char* setting, int value) {
  if (setting != nullptr && std::strcmp(setting, "reset") == 0) {
    std::lock_guard<std::mutex> lock(Lock());
    Key().SetFolder("");
    Key().SetSerial("");
    LastReceived().clear();
  }
  Device().Control(setting, value);
}

TW_EXPORT int TW_STDCALL SimUsbKey_Calls(const char* function) { return Device().Calls(function); }

TW_EXPORT int TW_STDCALL SimUsbKey_Text(const char* setting, const char* value) {
  if (setting == nullptr) return 0;
  std::lock_guard<std::mutex> lock(Lock());
  const std::string text = value != nullptr ? value : "";
  if (std::strcmp(setting, "folder") == 0) {
    Key().SetFolder(text);
    return 1;
  }
  if (std::strcmp(setting, "serial") == 0) return Key().SetSerial(text) ? 1 : 0;
  return 0;
}

TW_EXPORT int TW_STDCALL SimUsbKey_Received(const char* what, char* bytes, int size) {
  if (what == nullptr) return -2;
  std::lock_guard<std::mutex> lock(Lock());
  const auto it = LastReceived().find(what);
  if (it == LastReceived().end()) return -2;
  if (bytes != nullptr && size > 0) {
    const size_t n = std::min(it->second.bytes.size(), static_cast<size_t>(size) - 1);
    std::memcpy(bytes, it->second.bytes.data(), n);
    bytes[n] = '\0';
  }
  return static_cast<int>(it->second.length);
}
