#include "guard.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "cpl_conv.h"
#include "cpl_minixml.h"
#include "cpl_string.h"
#include "cpl_vsi.h"
#include "cpl_vsi_virtual.h"
#include "gdal_priv.h"
#include "local.h"
#include "reason.h"

namespace ncsecwex {
namespace {

// A VRT file larger than this is refused unread (GDAL's own VRT files, even
// of many thousand sources, are a few MiB).
constexpr vsi_l_offset kMaxVrtBytes = vsi_l_offset{64} << 20;

std::string Quoted(const char *name) { return std::string("'") + name + "'"; }

VSIVirtualHandle *Refuse(int error, const std::string &reason, bool setError) {
  NoteRefusal(error, reason);
  if (setError) VSIError(VSIE_FileError, "%s", reason.c_str());
  errno = error;
  return nullptr;
}

// Accesses that may create the file ("wb", "a+", ...) rather than open it.
bool MayCreate(const char *access) { return strpbrk(access, "wa") != nullptr; }

// GDAL's handler for plain paths behind the library's check, or GDAL's
// reader of standard input refused whole. Everything else is GDAL's.
class Guarded final : public VSIFilesystemHandler {
 public:
  Guarded(VSIFilesystemHandler *inner, bool refuseAll) : inner_(inner), refuseAll_(refuseAll) {}
  ~Guarded() override { delete inner_; }
  Guarded(const Guarded &) = delete;
  Guarded &operator=(const Guarded &) = delete;

  VSIVirtualHandle *Open(const char *name, const char *access, bool setError,
                         CSLConstList options) override {
    if (refuseAll_)
      return Refuse(EPERM, Quoted(name) + " reads the host's standard input, not an image", setError);
    std::string reason;
    if (int error = RefusedFile(name, &reason)) return Refuse(error, reason, setError);
    if (MayCreate(access)) return inner_->Open(name, access, setError, options);
    // Opened without waiting and looked at again, so that a file swapped for
    // a FIFO since the check is caught; GDAL then opens the very file
    // checked, through the process's own descriptor of it.
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return inner_->Open(name, access, setError, options);  // GDAL says why
    struct stat st;
    if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
      close(fd);
      return Refuse(ESPIPE, Quoted(name) + " is not a regular file", setError);
    }
    VSIVirtualHandle *handle = nullptr;
    if (S_ISREG(st.st_mode)) {
      std::string pinned = "/proc/self/fd/" + std::to_string(fd);
      handle = inner_->Open(pinned.c_str(), access, false, options);
    }
    if (handle == nullptr) handle = inner_->Open(name, access, setError, options);  // no /proc
    close(fd);
    return handle;
  }

  int Stat(const char *name, VSIStatBufL *buf, int flags) override {
    if (refuseAll_) {
      errno = EPERM;
      return -1;
    }
    return inner_->Stat(name, buf, flags);
  }
  char **ReadDirEx(const char *name, int maxFiles) override {
    return refuseAll_ ? nullptr : inner_->ReadDirEx(name, maxFiles);
  }
  char **ReadDir(const char *name) override { return ReadDirEx(name, 0); }
  char **SiblingFiles(const char *name) override {
    return refuseAll_ ? nullptr : inner_->SiblingFiles(name);
  }

  // Nothing read: GDAL's own.
  int Unlink(const char *name) override { return inner_->Unlink(name); }
  int *UnlinkBatch(CSLConstList files) override { return inner_->UnlinkBatch(files); }
  int Mkdir(const char *name, long mode) override { return inner_->Mkdir(name, mode); }
  int Rmdir(const char *name) override { return inner_->Rmdir(name); }
  int RmdirRecursive(const char *name) override { return inner_->RmdirRecursive(name); }
  int Rename(const char *from, const char *to) override { return inner_->Rename(from, to); }
  int IsCaseSensitive(const char *name) override { return inner_->IsCaseSensitive(name); }
  GIntBig GetDiskFreeSpace(const char *name) override { return inner_->GetDiskFreeSpace(name); }
  int SupportsSparseFiles(const char *name) override { return inner_->SupportsSparseFiles(name); }
  int HasOptimizedReadMultiRange(const char *name) override {
    return inner_->HasOptimizedReadMultiRange(name);
  }
  const char *GetActualURL(const char *name) override { return inner_->GetActualURL(name); }
  const char *GetOptions() override { return inner_->GetOptions(); }
  char *GetSignedURL(const char *name, CSLConstList options) override {
    return inner_->GetSignedURL(name, options);
  }
  bool Sync(const char *source, const char *target, const char *const *options,
            GDALProgressFunc progress, void *progressData, char ***outputs) override {
    return inner_->Sync(source, target, options, progress, progressData, outputs);
  }
  VSIDIR *OpenDir(const char *name, int depth, const char *const *options) override {
    return refuseAll_ ? nullptr : inner_->OpenDir(name, depth, options);
  }
  char **GetFileMetadata(const char *name, const char *domain, CSLConstList options) override {
    return inner_->GetFileMetadata(name, domain, options);
  }
  bool SetFileMetadata(const char *name, CSLConstList metadata, const char *domain,
                       CSLConstList options) override {
    return inner_->SetFileMetadata(name, metadata, domain, options);
  }
  bool AbortPendingUploads(const char *name) override { return inner_->AbortPendingUploads(name); }
  std::string GetStreamingFilename(const std::string &name) const override {
    return inner_->GetStreamingFilename(name);
  }
  bool IsLocal(const char *name) override { return inner_->IsLocal(name); }
  bool SupportsSequentialWrite(const char *name, bool localTemp) override {
    return inner_->SupportsSequentialWrite(name, localTemp);
  }
  bool SupportsRandomWrite(const char *name, bool localTemp) override {
    return inner_->SupportsRandomWrite(name, localTemp);
  }
  bool SupportsRead(const char *name) override { return inner_->SupportsRead(name); }

 private:
  VSIFilesystemHandler *inner_;
  bool refuseAll_;
};

// The VRT driver's own open, behind RefusedVrt.
GDALDataset *(*gVrtOpen)(GDALOpenInfo *) = nullptr;

bool RawBandsAllowed() {
  return CPLTestBool(CPLGetConfigOption("GDAL_VRT_ENABLE_RAWRASTERBAND", "NO"));
}

// The first thing `node` and what follows it hold that is refused: a raw
// band, or a name the rules on names refuse.
int RefusedNode(const CPLXMLNode *node, const std::string &vrt, std::string *reason) {
  for (; node != nullptr; node = node->psNext) {
    if (node->eType == CXT_Attribute && EQUAL(node->pszValue, "subClass") &&
        node->psChild != nullptr && EQUAL(node->psChild->pszValue, "VRTRawRasterBand") &&
        !RawBandsAllowed()) {
      *reason = vrt + " holds a raw band, which reads any file's bytes as pixels; set "
                      "GDAL_VRT_ENABLE_RAWRASTERBAND=YES to allow raw bands";
      return EPERM;
    }
    if (node->eType == CXT_Element &&
        (EQUAL(node->pszValue, "SourceFilename") || EQUAL(node->pszValue, "SourceDataset"))) {
      if (int error = RefusedByName(CPLGetXMLValue(node, "", ""), reason)) {
        *reason = vrt + " names a source that is refused: " + *reason;
        return error;
      }
    }
    if (node->eType == CXT_Element)
      if (int error = RefusedNode(node->psChild, vrt, reason)) return error;
  }
  return 0;
}

// What in the VRT GDAL is about to parse the library refuses. The VRT is the
// name itself (XML) or a file, read here first; anything else (another
// driver's file, vrt://) GDAL's VRT driver turns down or opens as any name.
int RefusedVrt(const GDALOpenInfo *info, std::string *reason) {
  const char *name = info->pszFilename;
  if (int error = RefusedByName(name, reason)) return error;
  const bool inlined = strstr(name, "<VRTDataset") != nullptr;
  if (!inlined && (info->pabyHeader == nullptr ||
                   strstr(reinterpret_cast<const char *>(info->pabyHeader), "<VRTDataset") == nullptr))
    return 0;
  // Whatever goes wrong here GDAL says itself when it parses the VRT.
  CPLErrorStateBackuper state;
  CPLErrorHandlerPusher quiet(CPLQuietErrorHandler);
  GByte *content = nullptr;
  if (!inlined) {
    VSIStatBufL st;
    if (VSIStatL(name, &st) == 0 && VSI_ISREG(st.st_mode) &&
        (vsi_l_offset)st.st_size > kMaxVrtBytes) {
      *reason = Quoted(name) + " is too large to be a VRT the library reads";
      return EFBIG;
    }
    vsi_l_offset size = 0;
    if (!VSIIngestFile(nullptr, name, &content, &size, (GIntBig)kMaxVrtBytes)) return 0;
  }
  CPLXMLNode *root = CPLParseXMLString(inlined ? name : reinterpret_cast<const char *>(content));
  int error = root != nullptr ? RefusedNode(root, inlined ? "an inline VRT" : Quoted(name), reason) : 0;
  CPLDestroyXMLNode(root);
  VSIFree(content);
  return error;
}

GDALDataset *GuardedVrtOpen(GDALOpenInfo *info) {
  std::string reason;
  if (int error = RefusedVrt(info, &reason)) {
    NoteRefusal(error, reason);
    CPLError(CE_Failure, CPLE_OpenFailed, "%s", reason.c_str());
    return nullptr;
  }
  return gVrtOpen(info);
}

}  // namespace

void GuardGdalFiles() {
  static std::once_flag once;
  std::call_once(once, [] {
    VSIFilesystemHandler *plain = VSIFileManager::GetHandler("");
    VSIFileManager::InstallHandler("", new Guarded(plain, false));
    VSIFilesystemHandler *input = VSIFileManager::GetHandler("/vsistdin/");
    if (input != nullptr && input != plain) {
      Guarded *refused = new Guarded(input, true);
      VSIFileManager::InstallHandler("/vsistdin/", refused);
      VSIFileManager::InstallHandler("/vsistdin?", refused);
    }
    GDALDriver *vrt = GetGDALDriverManager()->GetDriverByName("VRT");
    if (vrt != nullptr && vrt->pfnOpen != nullptr) {
      gVrtOpen = vrt->pfnOpen;
      vrt->pfnOpen = GuardedVrtOpen;
    }
  });
}

}  // namespace ncsecwex
