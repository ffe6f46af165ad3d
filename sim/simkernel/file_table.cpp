// SPDX-License-Identifier: MIT
#include "simkernel/file_table.h"

#include <cerrno>

namespace sim {

long FileTable::done(long r) {
    m_.current()->signal = false;
    return r;
}

long FileTable::open(const std::string& path) {
    auto e = std::make_unique<Entry>();
    if (path.rfind("/proc/", 0) == 0) {
        if (!proc_.find(path.substr(6)))
            return -ENOENT;
        e->proc = path.substr(6);
    } else if (RtcClass::is_class_path(path)) {
        e->rtc = std::make_unique<RtcFile>();
        if (long r = rtc_.open(path, e->rtc.get()); r < 0)
            return r;
    } else if (path == "/dev/micom") {
        Chrdev* dev = chrdevs_.find(micom_major_, 0);
        if (!dev || !dev->ops)
            return -ENXIO;  // no driver behind the node
        e->file.dev = dev;
        if (dev->ops->open) {
            int r = dev->ops->open(nullptr, reinterpret_cast<kp_file*>(&e->file));
            if (r < 0)
                return r;
        }
        chrdevs_.add_ref(e->file);
    } else {
        return -ENOENT;
    }
    long fd = next_fd_++;
    fds_[fd] = std::move(e);
    return done(fd);
}

FileTable::Entry* FileTable::find(long fd) {
    auto it = fds_.find(fd);
    return it == fds_.end() ? nullptr : it->second.get();
}

long FileTable::close(long fd) {
    Entry* e = find(fd);
    if (!e)
        return -EBADF;
    if (e->rtc)
        rtc_.close(*e->rtc);
    if (e->file.dev) {
        if (e->file.dev->ops && e->file.dev->ops->release)
            e->file.dev->ops->release(nullptr, reinterpret_cast<kp_file*>(&e->file));
        chrdevs_.drop_ref(e->file);
    }
    fds_.erase(fd);
    return done(0);
}

long FileTable::read(long fd, void* buf, size_t n) {
    Entry* e = find(fd);
    if (!e)
        return -EBADF;
    long r = -EINVAL;  // /dev/micom has no read
    if (e->rtc) {
        r = rtc_.read(*e->rtc, buf, n, &e->file.pos);
    } else if (!e->proc.empty()) {
        ProcEntry* pe = proc_.find(e->proc);
        r = pe ? proc_.read(pe, static_cast<char*>(buf), n, &e->file.pos, copy_to_user_) : -ENOENT;
    }
    return done(r);
}

long FileTable::write(long fd, const void* buf, size_t n) {
    Entry* e = find(fd);
    if (!e)
        return -EBADF;
    long r;
    if (e->rtc) {
        r = rtc_.write(*e->rtc, buf, n);
    } else if (!e->proc.empty()) {
        ProcEntry* pe = proc_.find(e->proc);
        r = pe ? proc_.write(pe, reinterpret_cast<kp_file*>(&e->file), static_cast<const char*>(buf), n)
               : -ENOENT;
    } else if (e->file.dev->ops && e->file.dev->ops->write) {
        r = e->file.dev->ops->write(reinterpret_cast<kp_file*>(&e->file), static_cast<const char*>(buf), n,
                                    &e->file.pos);
    } else {
        r = -EINVAL;
    }
    return done(r);
}

long FileTable::ioctl(long fd, unsigned int cmd, unsigned long arg) {
    Entry* e = find(fd);
    if (!e)
        return -EBADF;
    long r = -ENOTTY;
    if (e->rtc)
        r = rtc_.ioctl(*e->rtc, cmd, arg);
    else if (e->file.dev && e->file.dev->ops && e->file.dev->ops->unlocked_ioctl)
        r = e->file.dev->ops->unlocked_ioctl(reinterpret_cast<kp_file*>(&e->file), cmd, arg);
    return done(r);
}

}  // namespace sim
