#pragma once

// What a failure says where the system's own text would not tell what happened: spelled once,
// so that every platform's layer, the layer in memory and the tests say the same.
namespace textfile::failure_text {

constexpr char kChanged[] = "changed while being converted";
constexpr char kInUseByAnotherRun[] = "in use by another run";
constexpr char kInUseByAnotherProgram[] = "in use by another program";
constexpr char kIsTheInput[] = "is the input itself";
constexpr char kIsTheMainOutput[] = "is the main output too";
constexpr char kAnotherFile[] = "the path names another file than the one converted";
constexpr char kNotAnOrdinaryFile[] = "not an ordinary file";
constexpr char kOwnedByAnotherUser[] = "owned by another user";
constexpr char kWritableByOthers[] = "writable by other users";
constexpr char kHasOtherNames[] = "has more than one name (a hard link)";
constexpr char kLockNeedsWriting[] =
    "on shared storage a run locks its input opened for writing, which this user may not";

}  // namespace textfile::failure_text
