#include "archive/ZipFile.h"

// Placeholder until the writer lands: every operation refuses, so nothing can pass for an archive.
namespace glb::archive {

TZipFile::TZipFile() = default;
TZipFile::~TZipFile() = default;

void TZipFile::Open(const std::filesystem::path&, TZipMode)
{
    throw EZipException("The archive writer is not built yet");
}

void TZipFile::Add(const std::filesystem::path&, const std::string&, TZipCompression)
{
    throw EZipException("File must be open for writing");
}

void TZipFile::Close()
{
    FMode = TZipMode::zmClosed;
}

} // namespace glb::archive
