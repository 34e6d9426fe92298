#pragma once

#include <string>

// The input's read lease (Linux): while the run holds it, the system tells this program when
// another program opens the input for writing or truncates it. The lease is then let go at
// once, and the run ends at its next check. Only one input is leased at a time: a run has one.
namespace textfile::input_lease {

// Takes the lease on the input open for reading at `fd`. Throws "in use by another program"
// when the file is open for writing somewhere; goes on without a lease where none can be had
// (not the file's owner, a file system or system without leases). On storage that hosts share
// (`shared`), a lease is had only while the file server lets this host keep the file cached (an
// NFS v4 delegation, an SMB oplock), which it takes back when another host opens the file for
// writing: a refusal there says nothing of writers, and the run goes on without.
void take(int fd, const std::string& path, bool shared);

// Lets go of the lease, after a last look that it holds (throw_if_broken): on shared storage a
// change of this run's own to the input's names (its pin, the move aside) takes the server's
// grant back too, and would pass for a writer.
void let_go();

// When a writer has broken the lease (which is then released at once, so the writer is not held
// up): throws "changed while being converted". Once thrown, or without a lease, does nothing.
void throw_if_broken();

// Forgets the lease of an input about to be closed (closing releases it).
void forget();

}  // namespace textfile::input_lease
