// Scoped owners for firmware resources: pool buffers and open files are
// released on every path out of the scope that took them, failure paths
// included. No exceptions are involved; the destructors run at scope exit.
#pragma once

#include "kit/Library.h"

// Owns one pool buffer from AllocatePool/AllocateZeroPool, or one that
// firmware handed out from the pool (a handle array). A firmware call never
// fills it directly: a failing call leaves its output undefined, so the
// buffer is taken into ownership only after the call succeeded.
template <typename T> class PoolPtr {
 public:
  PoolPtr() = default;
  explicit PoolPtr(T *Pointer) : Pointer_(Pointer) {}
  ~PoolPtr() { Reset(); }
  PoolPtr(const PoolPtr &) = delete;
  PoolPtr &operator=(const PoolPtr &) = delete;

  T *Get() const { return Pointer_; }
  T &operator[](UINTN Index) const { return Pointer_[Index]; }
  T *operator->() const { return Pointer_; }
  explicit operator bool() const { return Pointer_ != NULL; }

  VOID Reset(T *Pointer = NULL) {
    if (Pointer_ != NULL) {
      FreePool((VOID *)Pointer_);
    }
    Pointer_ = Pointer;
  }

 private:
  T *Pointer_ = NULL;
};

// Owns one open EFI_FILE_PROTOCOL handle and closes it at scope exit.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(EFI_FILE_PROTOCOL *File) : File_(File) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle &) = delete;
  FileHandle &operator=(const FileHandle &) = delete;

  EFI_FILE_PROTOCOL *Get() const { return File_; }
  EFI_FILE_PROTOCOL *operator->() const { return File_; }
  explicit operator bool() const { return File_ != NULL; }

  EFI_FILE_PROTOCOL **Out() {
    Close();
    return &File_;
  }
  // Closes now and reports the firmware's status. Close returns EFI_SUCCESS
  // whatever happened to the cached data: a caller that needs its writes on
  // the medium flushes first, where a refused write-back shows.
  EFI_STATUS Close() {
    EFI_STATUS Status = EFI_SUCCESS;
    if (File_ != NULL) {
      Status = File_->Close(File_);
      File_ = NULL;
    }
    return Status;
  }
  // Deletes the file; the firmware closes the handle in every case.
  EFI_STATUS Delete() {
    EFI_STATUS Status = EFI_SUCCESS;
    if (File_ != NULL) {
      Status = File_->Delete(File_);
      File_ = NULL;
    }
    return Status;
  }

 private:
  EFI_FILE_PROTOCOL *File_ = NULL;
};
