// SPDX-License-Identifier: MIT
// The open files of the box's simulated programs, and the system calls on
// them: /proc entries (through the kernel's legacy read and write handlers)
// and /dev/micom (through the driver's file operations).  Every call clears
// the calling context's pending signal at its end, as a return to user
// space delivers it.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "machine/machine.h"
#include "simkernel/chrdev.h"
#include "simkernel/procfs.h"
#include "simkernel/rtc_class.h"

namespace sim {

class FileTable {
public:
    /// Copies @n bytes to user space; false when the copy fails.
    using CopyToUser = std::function<bool(void* to, const void* from, size_t n)>;

    FileTable(Machine& m, Procfs& proc, CharDevices& chrdevs, RtcClass& rtc, unsigned micom_major,
              CopyToUser copy_to_user)
        : m_(m), proc_(proc), chrdevs_(chrdevs), rtc_(rtc), micom_major_(micom_major),
          copy_to_user_(std::move(copy_to_user)) {}

    /// open(): a file descriptor (>= 1000) or a negative error.
    long open(const std::string& path);
    long close(long fd);
    long read(long fd, void* buf, size_t n);
    long write(long fd, const void* buf, size_t n);
    long ioctl(long fd, unsigned int cmd, unsigned long arg);
    /// Forgets every open file without closing it (the kernel went away).
    void clear() { fds_.clear(); }

private:
    struct Entry {
        std::string proc;  ///< name of the /proc entry, or empty for a device
        OpenFile file;
        std::unique_ptr<RtcFile> rtc;  ///< a file of the RTC class
    };
    Entry* find(long fd);
    long done(long r);

    Machine& m_;
    Procfs& proc_;
    CharDevices& chrdevs_;
    RtcClass& rtc_;
    unsigned micom_major_;
    CopyToUser copy_to_user_;
    std::map<long, std::unique_ptr<Entry>> fds_;
    long next_fd_ = 1000;
};

}  // namespace sim
