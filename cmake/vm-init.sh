#!/bin/busybox sh
# /init of the VM that cmake/vm-run.sh boots. The host's root comes in
# read-only over 9p under an overlay whose upper layer lives in memory, so
# nothing the job does reaches the host except through the writable "out"
# share, mounted where the host has that folder. Runs the job the host wrote
# into out/job/, leaves its output and exit status beside it, powers off.
/bin/busybox --install -s /bin
export PATH=/bin

mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

stop() {
  echo "vm-init: $*" >/dev/console
  sync
  poweroff -f
}

# virtio_ring before virtio; 9p needs netfs and fscache.
for m in virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci \
         netfs fscache 9pnet 9pnet_virtio 9p overlay; do
  [ -f "/lib/modules/$m.ko" ] || continue # built into this kernel
  insmod "/lib/modules/$m.ko" || stop "cannot load $m"
done

mkdir -p /host /mem /newroot /out
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 hostroot /host ||
  stop "cannot mount the host's root"
mount -t tmpfs -o mode=755 mem /mem
mkdir -p /mem/upper /mem/work
mount -t overlay -o lowerdir=/host,upperdir=/mem/upper,workdir=/mem/work overlay /newroot ||
  stop "cannot put the overlay over the host's root"
# No page cache on the share: the host follows the job's output as it is written.
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 out /out || stop "cannot mount the output folder"

r=/newroot
mount -t proc proc $r/proc
mount -t sysfs sys $r/sys
mount -t devtmpfs dev $r/dev
mkdir -p $r/dev/pts $r/dev/shm
mount -t devpts -o ptmxmode=0666 devpts $r/dev/pts
# A checkout that itself lies in one of these (a CI clone in /tmp) is
# kept: set aside before the fresh tmpfs goes on, put back after.
cwd=$(cat /out/job/cwd 2>/dev/null || echo /)
for d in /tmp /run /dev/shm; do
  case $cwd/ in
    "$d"/*/)
      mkdir -p /mem/keep
      mount --bind "$r$cwd" /mem/keep || stop "cannot keep $cwd"
      mount -t tmpfs -o mode=1777 tmpfs "$r$d"
      mkdir -p "$r$cwd"
      mount --move /mem/keep "$r$cwd" || stop "cannot put $cwd back" ;;
    *) mount -t tmpfs -o mode=1777 tmpfs "$r$d" ;;
  esac
done

out=$(cat /out/job/path)
mkdir -p "$r$out"
mount --move /out "$r$out"

chroot $r /bin/bash "$out/job/run.sh" >"$r$out/job/output.log" 2>&1 </dev/null
echo $? >"$r$out/job/status"
sync
poweroff -f
