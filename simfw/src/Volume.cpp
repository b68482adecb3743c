// The in-memory FAT-like volume: directory tree, medium and cache bytes.
#include <stdexcept>

#include "Internal.h"

namespace sim {

namespace {

char16_t Fold(char16_t C) { return (C >= u'a' && C <= u'z') ? static_cast<char16_t>(C - u'a' + u'A') : C; }

std::vector<std::u16string> HostPath(const std::string &Path) { return SplitPath(FromUtf8(Path), true); }

// Walks Parts from the root for the host-side helpers; "." and ".." are
// honoured. With MakeDirectories, missing directories are created.
Volume::Node *Walk(Volume::Node *Root, const std::vector<std::u16string> &Parts, bool MakeDirectories) {
  Volume::Node *At = Root;
  for (const std::u16string &Part : Parts) {
    if (Part == u".") {
      continue;
    }
    if (Part == u"..") {
      auto Parent = At->Parent.lock();
      if (!Parent) {
        return nullptr;
      }
      At = Parent.get();
      continue;
    }
    if (!At->Directory) {
      return nullptr;
    }
    Volume::Node *Next = At->Find(Part);
    if (Next == nullptr) {
      if (!MakeDirectories) {
        return nullptr;
      }
      Next = At->AddChild(Part, true, 0).get();
    }
    At = Next;
  }
  return At;
}

std::string Describe(const std::string &Path) { return "'" + Path + "'"; }

}  // namespace

bool NamesEqual(const std::u16string &A, const std::u16string &B) {
  if (A.size() != B.size()) {
    return false;
  }
  for (size_t I = 0; I < A.size(); I++) {
    if (Fold(A[I]) != Fold(B[I])) {
      return false;
    }
  }
  return true;
}

std::vector<std::u16string> SplitPath(const std::u16string &Path, bool AcceptSlash) {
  std::vector<std::u16string> Parts;
  std::u16string Part;
  for (char16_t C : Path) {
    if (C == u'\\' || (AcceptSlash && C == u'/')) {
      if (!Part.empty()) {
        Parts.push_back(std::move(Part));
      }
      Part.clear();
    } else {
      Part += C;
    }
  }
  if (!Part.empty()) {
    Parts.push_back(std::move(Part));
  }
  return Parts;
}

// ---------------------------------------------------------------- nodes

bool Volume::Node::Attached() const {
  const Node *At = this;
  for (auto Parent = At->Parent.lock(); Parent; Parent = Parent->Parent.lock()) {
    bool Listed = false;
    for (const auto &C : Parent->Children) {
      Listed = Listed || C.get() == At;
    }
    if (!Listed) {
      return false;
    }
    At = Parent.get();
  }
  // Reached a node without a parent: attached only if that is a root, which
  // never has a name.
  return At->Name.empty() && At->Directory;
}

Volume::Node *Volume::Node::Find(const std::u16string &ChildName) const {
  for (const auto &C : Children) {
    if (NamesEqual(C->Name, ChildName)) {
      return C.get();
    }
  }
  return nullptr;
}

std::shared_ptr<Volume::Node> Volume::Node::AddChild(const std::u16string &ChildName, bool IsDirectory,
                                                     uint64_t Attrs) {
  auto Child = std::make_shared<Node>();
  Child->Name = ChildName;
  Child->Directory = IsDirectory;
  Child->Attributes = Attrs & ~EFI_FILE_DIRECTORY;
  Child->Parent = weak_from_this();
  Children.push_back(Child);
  return Child;
}

void Volume::Node::RemoveChild(const Node *Child) {
  std::erase_if(Children, [&](const auto &C) { return C.get() == Child; });
}

std::string Volume::Node::Path() const {
  std::u16string Path;
  for (const Node *At = this; At != nullptr;) {
    auto Parent = At->Parent.lock();
    if (!Parent) {
      break;
    }
    Path = u"\\" + At->Name + Path;
    At = Parent.get();
  }
  return Path.empty() ? "\\" : ToUtf8(Path);
}

bool Volume::Node::Commit() {
  if (!Dirty) {
    return false;
  }
  Medium = std::move(Cache);
  Cache.clear();
  Dirty = false;
  return true;
}

void Volume::Node::DropCache() {
  Cache.clear();
  Dirty = false;
  for (const auto &C : Children) {
    C->DropCache();
  }
}

std::shared_ptr<Volume::Node> Volume::Node::MediumCopy() const {
  auto Copy = std::make_shared<Node>();
  Copy->Name = Name;
  Copy->Directory = Directory;
  Copy->Attributes = Attributes;
  Copy->Medium = Medium;
  for (const auto &C : Children) {
    auto Child = C->MediumCopy();
    Child->Parent = Copy;
    Copy->Children.push_back(std::move(Child));
  }
  return Copy;
}

void RestoreVolume(Volume &V, const Volume::Node &Snapshot) {
  Volume::Node &Root = *V.Root();
  Root.Children.clear();
  for (const auto &C : Snapshot.Children) {
    auto Child = C->MediumCopy();
    Child->Parent = Root.weak_from_this();
    Root.Children.push_back(std::move(Child));
  }
}

// ---------------------------------------------------------------- Volume

Volume::Volume(std::string Label) : Label_(std::move(Label)), Root_(std::make_shared<Node>()) {
  Root_->Directory = true;
}

Volume::~Volume() = default;

void Volume::PutFile(const std::string &Path, const std::vector<uint8_t> &Bytes, bool ReadOnly) {
  auto Parts = HostPath(Path);
  if (Parts.empty()) {
    throw std::invalid_argument("PutFile needs a file name");
  }
  const std::u16string Name = Parts.back();
  Parts.pop_back();
  Node *Dir = Walk(Root_.get(), Parts, true);
  if (Dir == nullptr || !Dir->Directory) {
    throw std::invalid_argument("PutFile: no directory for " + Describe(Path));
  }
  Node *File = Dir->Find(Name);
  if (File == nullptr) {
    File = Dir->AddChild(Name, false, EFI_FILE_ARCHIVE).get();
  } else if (File->Directory) {
    throw std::invalid_argument("PutFile: " + Describe(Path) + " is a directory");
  }
  File->Medium = Bytes;
  File->Cache.clear();
  File->Dirty = false;
  SetReadOnly(Path, ReadOnly);
}

void Volume::PutFile(const std::string &Path, const std::string &Bytes, bool ReadOnly) {
  PutFile(Path, std::vector<uint8_t>(Bytes.begin(), Bytes.end()), ReadOnly);
}

void Volume::MakeDirectory(const std::string &Path) {
  Node *Dir = Walk(Root_.get(), HostPath(Path), true);
  if (Dir == nullptr || !Dir->Directory) {
    throw std::invalid_argument("MakeDirectory: " + Describe(Path) + " is in the way");
  }
}

void Volume::RemoveFile(const std::string &Path) {
  Node *N = Walk(Root_.get(), HostPath(Path), false);
  if (N == nullptr || N == Root_.get()) {
    return;
  }
  if (auto Parent = N->Parent.lock()) {
    Parent->RemoveChild(N);
  }
}

void Volume::SetReadOnly(const std::string &Path, bool ReadOnly) {
  Node *N = Walk(Root_.get(), HostPath(Path), false);
  if (N == nullptr) {
    throw std::invalid_argument("SetReadOnly: no " + Describe(Path));
  }
  N->Attributes = ReadOnly ? (N->Attributes | EFI_FILE_READ_ONLY) : (N->Attributes & ~EFI_FILE_READ_ONLY);
}

bool Volume::Exists(const std::string &Path) const { return Walk(Root_.get(), HostPath(Path), false) != nullptr; }

std::optional<std::vector<uint8_t>> Volume::MediumFile(const std::string &Path) const {
  const Node *N = Walk(Root_.get(), HostPath(Path), false);
  if (N == nullptr || N->Directory) {
    return std::nullopt;
  }
  return N->Medium;
}

std::optional<std::vector<uint8_t>> Volume::CurrentFile(const std::string &Path) const {
  const Node *N = Walk(Root_.get(), HostPath(Path), false);
  if (N == nullptr || N->Directory) {
    return std::nullopt;
  }
  return N->Current();
}

void Volume::DropCache() { Root_->DropCache(); }
void Volume::SetWriteProtected(bool Protected) { WriteProtected_ = Protected; }
void Volume::RefuseWriteBack(EFI_STATUS Status) { WriteBack_ = Status; }

}  // namespace sim
