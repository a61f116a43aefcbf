// Keeps the tools library non-empty while it has no other source.
namespace megfwd::io {
int ioLibraryVersion() { return 1; }
}  // namespace megfwd::io
