#!/bin/sh
# Every 32-bit Linux program (i386, armhf) and the module take time and files through the C
# library's 64-bit entry points (built with _TIME_BITS=64 and
# _FILE_OFFSET_BITS=64): a 32-bit time ends on 2038-01-19, a 32-bit file
# offset at 2 GiB, and a 32-bit stat fails on 64-bit inode numbers.
# Usage: [NM=the target's nm] check_64bit_time_and_files.sh FILE...
set -eu
# The 32-bit forms; with the two settings the headers send each call to a
# 64-bit one (__clock_gettime64, __fstat64_time64, open64, ...).
thirty_two_bit='
time gettimeofday settimeofday clock_gettime clock_settime clock_getres clock_nanosleep nanosleep
localtime localtime_r gmtime gmtime_r mktime timegm ctime ctime_r difftime stime adjtime
utime utimes futimes lutimes futimens utimensat
stat lstat fstat fstatat stat64 lstat64 fstat64 fstatat64 __xstat __lxstat __fxstat __xstat64 __lxstat64 __fxstat64
statfs fstatfs statvfs fstatvfs
open openat creat fopen freopen tmpfile lseek fseeko ftello fseek ftell fgetpos fsetpos
truncate ftruncate pread pwrite preadv pwritev mmap fallocate posix_fallocate lockf sendfile
readdir readdir_r scandir alphasort glob globfree nftw ftw
select pselect ppoll epoll_pwait2 recvmmsg sigtimedwait mkstemp mkostemp mkstemps mkostemps
ioctl fcntl prctl setsockopt getsockopt wait3 wait4 getrusage
setitimer getitimer timer_settime timer_gettime timerfd_settime timerfd_gettime
pthread_cond_timedwait pthread_mutex_timedlock pthread_rwlock_timedrdlock pthread_rwlock_timedwrlock
pthread_timedjoin_np sem_timedwait mq_timedsend mq_timedreceive sched_rr_get_interval
'
status=0
for file in "$@"; do
  imports=$("${NM:-nm}" -D --undefined-only "$file" | awk '{print $2}' | sed 's/@.*//')
  found=""
  for name in $thirty_two_bit; do
    if printf '%s\n' "$imports" | grep -qx "$name"; then found="$found $name"; fi
  done
  wide=$(printf '%s\n' "$imports" | grep -E '(64|_time64)$' | tr '\n' ' ')
  if [ -n "$found" ]; then
    echo "$(basename "$file"): 32-bit time or file entry points:$found"
    status=1
  else
    echo "$(basename "$file"): only 64-bit time and file entry points: $wide"
  fi
done
exit $status
