// The container index locks of this process: one lock per file (device and inode), held on behalf
// of every object of the process that has the file open.
//
// A lock between processes must not separate the objects of one process: a host may open one
// chunk's container index in two objects, a writer and a reader. So the process takes the file's
// lock when its first object opens the file and gives it back when its last one closes it; in
// between the lock is shared, by count, and its mode follows the strongest holder (exclusive while
// a writer holds it, shared while only readers do). Another process that conflicts still fails at
// once, and so does an object of this process whose mode would need a lock that another process
// keeps it from.
//
// The lock is an open-file-description lock on bytes 0..1023, taken on a descriptor of the table's
// own, so no object's close drops it. It conflicts with the classic record locks of other
// processes on the same range as well.
#pragma once

#include <string>

struct CIndexFileLockShare;

class CIndexFileLockTable {
 public:
  // Takes a share of the lock of the file open as `fd`, exclusive or shared. 0, or the errno of
  // the refusal with the holder's process id in `*holderPid` (0 when the holder has gone, -1 when
  // the system does not tell it). A null `holderPid` skips the search for the holder, which may
  // read the process table: callers that try again and again ask HolderOf once at the end.
  //
  // `*share` is the one share of its object. One that it still holds (an object created or
  // opened again without a Close) is given back in the same step as the new one is taken, so
  // that the object never counts twice and the lock does not pass through unlocked when the
  // file is the same; a refusal leaves it as it was.
  static int Acquire(int fd, bool exclusive, CIndexFileLockShare* share, int* holderPid);
  // Gives a share back; the last one releases the lock. 0 (also when no share is held) or errno.
  static int Release(CIndexFileLockShare* share);

  // The shares this process holds on the file at `path` (none when it cannot be looked at).
  struct Counts {
    int readers = 0;
    int writers = 0;
  };
  static Counts CountsOf(const std::string& path);

  // The process that holds the conflicting lock on bytes 0..1023 of the file open as `fd`, as
  // above. Open-file-description locks name no process; their holder is found through the
  // process table where the system shows it.
  static int HolderOf(int fd, bool exclusive);
};
