// SCSI pass-through on Windows: the disk interfaces from SetupAPI, commands through
// IOCTL_SCSI_PASS_THROUGH (data inside the request) or IOCTL_SCSI_PASS_THROUGH_DIRECT on an
// overlapped handle.
#include <windows.h>

#include <setupapi.h>
#include <winioctl.h>

// After winioctl.h, whose CTL_CODE it uses.
#include <ntddscsi.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "../sim/scsi_os.h"

namespace platform::scsi {
namespace {

// The setup class of disk drives and the interface class of disks (devguid.h, winioctl.h),
// spelt out so that no GUID library is needed.
constexpr GUID kDiskDriveClass = {0x4d36e967, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kDiskInterface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

// The request, a filler that aligns the sense, the sense, and (buffered) the data.
struct BufferedRequest {
  SCSI_PASS_THROUGH spt;
  ULONG filler;
  UCHAR sense[kMaxSense];
  UCHAR data[kMaxBuffered];
};
struct DirectRequest {
  SCSI_PASS_THROUGH_DIRECT sptd;
  ULONG filler;
  UCHAR sense[kMaxSense];
};
#if !defined(_WIN64)
// The layout 32-bit terminals' drivers have always been given.
static_assert(sizeof(SCSI_PASS_THROUGH) == 44 && sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(offsetof(BufferedRequest, sense) == 48 && offsetof(BufferedRequest, data) == 80);
static_assert(sizeof(DirectRequest) == 80);
#else
// 64-bit: the data buffer's offset or address is pointer-sized, so the request grows by 12 bytes.
static_assert(sizeof(SCSI_PASS_THROUGH) == 56 && sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
static_assert(offsetof(BufferedRequest, sense) == 60 && offsetof(BufferedRequest, data) == 92);
static_assert(sizeof(DirectRequest) == 96);
#endif

// What one command lends the driver. It is the command's own, not the caller's memory, so that
// a command the driver never gives back after a cancel can be left to it instead of hanging.
struct Pending {
  OVERLAPPED ov = {};
  std::vector<uint8_t> data;  // direct data
  union {
    BufferedRequest buffered;
    DirectRequest direct;
  } request = {};
};

// Time the system gets beyond the command's own time-out before we cancel, and for the cancel.
constexpr DWORD kGraceMs = 2000;
constexpr DWORD kCancelWaitMs = 1000;

template <class Request>
void FillCommon(Request* r, const Command& c, ULONG senseOffset) {
  r->Length = static_cast<USHORT>(sizeof *r);
  r->PathId = c.pathId;
  r->TargetId = c.targetId;
  r->Lun = c.lun;
  r->CdbLength = c.cdbLength;
  r->SenseInfoLength = c.senseLength;
  r->DataIn = c.direction == Direction::In    ? SCSI_IOCTL_DATA_IN
              : c.direction == Direction::Out ? SCSI_IOCTL_DATA_OUT
                                              : SCSI_IOCTL_DATA_UNSPECIFIED;
  r->DataTransferLength = c.length;
  r->TimeOutValue = c.timeoutSeconds;
  r->SenseInfoOffset = senseOffset;
  std::memcpy(r->Cdb, c.cdb, sizeof r->Cdb);
}

template <class Request>
void TakeOutcome(const Request& r, const UCHAR* sense, const Command& c, Outcome* out) {
  out->status = r.ScsiStatus;
  out->senseLength = r.SenseInfoLength < c.senseLength ? r.SenseInfoLength : c.senseLength;
  std::memcpy(out->sense, sense, out->senseLength);
  out->transferred = r.DataTransferLength < c.length ? r.DataTransferLength : c.length;
}

class Win32Disk final : public Device {
 public:
  explicit Win32Disk(HANDLE h) : handle_(h) {}
  ~Win32Disk() override { ::CloseHandle(handle_); }

  Result Execute(const Command& c, Outcome* outcome) override {
    if (!Valid(c) || outcome == nullptr) return Result::Refused;
    std::unique_ptr<Pending> p(new (std::nothrow) Pending);
    if (!p) return Result::Failed;
    DWORD code, inSize, outSize;
    void* buffer;
    if (c.transfer == Transfer::Buffered) {
      BufferedRequest& r = p->request.buffered;
      FillCommon(&r.spt, c, offsetof(BufferedRequest, sense));
      r.spt.DataBufferOffset = offsetof(BufferedRequest, data);
      if (c.direction == Direction::Out) std::memcpy(r.data, c.data, c.length);
      code = IOCTL_SCSI_PASS_THROUGH;
      outSize = static_cast<DWORD>(offsetof(BufferedRequest, data) + c.length);
      inSize = c.direction == Direction::Out ? outSize : sizeof r.spt;
      buffer = &r;
    } else {
      DirectRequest& r = p->request.direct;
      FillCommon(&r.sptd, c, offsetof(DirectRequest, sense));
      if (c.length != 0) {
        p->data.assign(c.data, c.data + (c.direction == Direction::Out ? c.length : 0));
        p->data.resize(c.length);
        r.sptd.DataBuffer = p->data.data();
      }
      code = IOCTL_SCSI_PASS_THROUGH_DIRECT;
      inSize = outSize = sizeof r;
      buffer = &r;
    }
    p->ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (p->ov.hEvent == nullptr) return Result::Failed;

    Result result = Result::Failed;
    DWORD returned = 0;
    if (::DeviceIoControl(handle_, code, buffer, inSize, buffer, outSize, &returned, &p->ov)) {
      result = Result::Ok;
    } else if (::GetLastError() == ERROR_IO_PENDING) {
      const DWORD wait = ::WaitForSingleObject(p->ov.hEvent, c.timeoutSeconds * 1000u + kGraceMs);
      if (wait != WAIT_OBJECT_0) {
        ::CancelIo(handle_);
        if (::WaitForSingleObject(p->ov.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
          p.release();  // the driver keeps the block
          return Result::TimedOut;
        }
      }
      if (::GetOverlappedResult(handle_, &p->ov, &returned, FALSE)) {
        result = Result::Ok;
      } else if (wait != WAIT_OBJECT_0) {
        result = Result::TimedOut;
      }
    }
    ::CloseHandle(p->ov.hEvent);
    if (result != Result::Ok) return result;

    if (c.transfer == Transfer::Buffered) {
      const BufferedRequest& r = p->request.buffered;
      TakeOutcome(r.spt, r.sense, c, outcome);
      if (c.direction == Direction::In) std::memcpy(c.data, r.data, outcome->transferred);
    } else {
      const DirectRequest& r = p->request.direct;
      TakeOutcome(r.sptd, r.sense, c, outcome);
      if (c.direction == Direction::In) std::memcpy(c.data, p->data.data(), c.length);
    }
    return Result::Ok;
  }

 private:
  HANDLE handle_;
};

bool InterfacePath(HDEVINFO set, DWORD index, std::string* path) {
  SP_DEVICE_INTERFACE_DATA ifData = {};
  ifData.cbSize = sizeof ifData;
  if (!::SetupDiEnumDeviceInterfaces(set, nullptr, &kDiskInterface, index, &ifData)) return false;
  DWORD required = 0;
  ::SetupDiGetDeviceInterfaceDetailA(set, &ifData, nullptr, 0, &required, nullptr);
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return false;
  // DWORD elements keep the structure's cbSize field aligned.
  std::vector<DWORD> buffer((required + sizeof(DWORD) - 1) / sizeof(DWORD));
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!::SetupDiGetDeviceInterfaceDetailA(set, &ifData, detail, required, nullptr, nullptr)) return false;
  *path = detail->DevicePath;
  return true;
}

}  // namespace

namespace os {

std::vector<std::string> DiskPaths() {
  std::vector<std::string> paths;
  HDEVINFO drives = ::SetupDiGetClassDevsA(&kDiskDriveClass, nullptr, nullptr, DIGCF_PRESENT);
  HDEVINFO disks = ::SetupDiGetClassDevsA(&kDiskInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (drives != INVALID_HANDLE_VALUE && disks != INVALID_HANDLE_VALUE) {
    for (DWORD i = 0;; ++i) {
      SP_DEVINFO_DATA drive = {};
      drive.cbSize = sizeof drive;
      std::string path;
      if (!::SetupDiEnumDeviceInfo(drives, i, &drive) || !InterfacePath(disks, i, &path)) break;
      paths.push_back(path);
    }
  }
  if (drives != INVALID_HANDLE_VALUE) ::SetupDiDestroyDeviceInfoList(drives);
  if (disks != INVALID_HANDLE_VALUE) ::SetupDiDestroyDeviceInfoList(disks);
  return paths;
}

Device* Open(const std::string& path) {
  if (path.empty()) return nullptr;
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  Device* device = new (std::nothrow) Win32Disk(h);
  if (device == nullptr) ::CloseHandle(h);
  return device;
}

}  // namespace os
}  // namespace platform::scsi
