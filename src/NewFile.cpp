#include "NewFile.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "NewFileSystem.h"
#include "Platform.h"
#include "WriteFaults.h"

namespace fileio {

namespace faults {

namespace {
std::atomic<Hook> gHook{nullptr};
std::atomic<NameSource> gNames{nullptr};
std::atomic<bool> gNamed{false};
}  // namespace

void setNamedFromTheStart(bool named) { gNamed.store(named); }
bool namedFromTheStart() { return gNamed.load(); }

void setHook(Hook hook) { gHook.store(hook); }
bool fails(Step step) {
    const Hook h = gHook.load();
    return h && h(step);
}

void setNameSource(NameSource source) { gNames.store(source); }

std::uint64_t nextName() {
    if (const NameSource s = gNames.load()) return s();
    // Unpredictable enough that a name cannot be taken in advance (a name
    // already taken is passed over anyway): the time, the address of a
    // local and a counter, mixed (splitmix64).
    static std::atomic<std::uint64_t> counter{0};
    int local = 0;
    std::uint64_t z = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                      (static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&local)) << 16) ^
                      (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace faults

namespace detail {

std::string newFileName(std::string_view leaf) {
    // At most 64 bytes of the destination's name, cut before a UTF-8
    // continuation byte, so that the whole name stays well inside the
    // systems' name limits.
    std::size_t keep = leaf.size() < 64 ? leaf.size() : 64;
    while (keep > 0 && keep < leaf.size() && (static_cast<unsigned char>(leaf[keep]) & 0xC0) == 0x80) --keep;
    static const char hex[] = "0123456789abcdef";
    std::uint64_t r = faults::nextName();
    char tail[13];
    for (int i = 0; i < 12; ++i, r >>= 4) tail[i] = hex[r & 15];
    tail[12] = '\0';
    std::string name = ".";
    name.append(leaf.substr(0, keep)).append(".brindlex-").append(tail);
    return name;
}

}  // namespace detail

namespace {

constexpr std::size_t kBufferBytes = NewFile::kBuffer;
// After this many bytes the system is asked to start writing them out, so
// that the flush at the end finds little left to write.
constexpr std::uint64_t kKickBytes = 8u << 20;

}  // namespace

void detail::WriteOutSpan::wrote(Platform& sys, std::uint64_t off, std::uint64_t n) {
    low = std::min(low, off);
    high = std::max(high, off + n);
    bytes += n;
    if (bytes < kKickBytes) return;
    startWriteOut(sys, low, high - low);
    *this = WriteOutSpan();
}

namespace {
// A batch keeps at most this many of its new files open (each holds a
// handle, and one more when it replaces an existing file).
constexpr std::size_t kOpenInBatch = 32;

// The buffers of one new file (two while it is written behind) kept
// between calls: memory touched for the first time is slow.
std::mutex gSpareLock;
std::unique_ptr<std::uint8_t[]> gSpare[2];

std::unique_ptr<std::uint8_t[]> takeBuffer() {
    {
        std::lock_guard<std::mutex> lock(gSpareLock);
        for (auto& b : gSpare)
            if (b) return std::move(b);
    }
    return std::unique_ptr<std::uint8_t[]>(new std::uint8_t[kBufferBytes]);
}

void giveBuffer(std::unique_ptr<std::uint8_t[]> b) {
    if (!b) return;
    std::lock_guard<std::mutex> lock(gSpareLock);
    for (auto& spare : gSpare)
        if (!spare) {
            spare = std::move(b);
            return;
        }
}

}  // namespace

namespace detail {

// A new file's pieces written by a second thread, in the order they are
// handed over, so that the next piece is made while the system copies the
// last one into its cache. The thread lives as long as the object.
class WriteBehind {
public:
    explicit WriteBehind(detail::Platform& sys) : sys_(sys), idle_(takeBuffer()) {
        thread_ = std::thread([this] { run(); });  // std::system_error when there is no thread to be had
    }
    ~WriteBehind() {
        {
            std::lock_guard<std::mutex> lock(m_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
        giveBuffer(std::move(idle_));
        giveBuffer(std::move(job_));
    }
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    // Takes a full piece of n bytes for position pos, and gives back an
    // empty buffer once the thread has one.
    std::unique_ptr<std::uint8_t[]> hand(std::unique_ptr<std::uint8_t[]> full, std::size_t n, std::uint64_t pos) {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [this] { return !pending_; });
        job_ = std::move(full);
        n_ = n;
        pos_ = pos;
        pending_ = true;
        cv_.notify_all();
        return std::move(idle_);
    }
    // Waits until every piece handed over is written.
    void wait() {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [this] { return !pending_; });
    }
    bool failed() const { return failed_.load(); }

private:
    void run() {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            cv_.wait(lock, [this] { return pending_ || stop_; });
            if (!pending_) return;
            lock.unlock();
            if (!failed_.load() && !detail::writeAt(sys_, pos_, job_.get(), n_)) failed_ = true;
            span_.wrote(sys_, pos_, n_);
            lock.lock();
            idle_ = std::move(job_);
            pending_ = false;
            cv_.notify_all();
        }
    }

    detail::Platform& sys_;
    std::mutex m_;
    std::condition_variable cv_;
    std::unique_ptr<std::uint8_t[]> idle_, job_;
    std::size_t n_ = 0;
    std::uint64_t pos_ = 0;
    detail::WriteOutSpan span_;
    bool pending_ = false, stop_ = false;
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

void WriteBehindDeleter::operator()(WriteBehind* w) const { delete w; }

}  // namespace detail

namespace {}  // namespace

void detail::PlatformDeleter::operator()(Platform* p) const {
    if (p) {
        abandon(*p);
        destroyPlatform(p);
    }
}

NewFile::NewFile() : sys_(detail::makePlatform()) {}
NewFile::NewFile(NewFile&&) noexcept = default;
NewFile::~NewFile() { abandon(); }

Written NewFile::lock(const char* utf8Path) {
    if (!utf8Path || !*utf8Path) return Written::Ok;
    return detail::lock(*sys_, utf8Path);
}

Written NewFile::begin(const char* utf8Path, Target target) {
    settle();
    releaseBuffer();
    drains_ = 0;
    used_ = 0;
    pos_ = 0;
    span_ = detail::WriteOutSpan();
    ok_ = false;
    if (!utf8Path || !*utf8Path) return target == Target::Rewrite ? Written::CannotOpen : Written::CannotCreate;
    const Written w = detail::begin(*sys_, utf8Path, target);
    if (w != Written::Ok) return w;
    buffer_ = takeBuffer();
    capacity_ = kBufferBytes;
    ok_ = true;
    return w;
}

void NewFile::releaseBuffer() {
    if (capacity_ == kBufferBytes) giveBuffer(std::move(buffer_));  // a larger one of room() goes
    buffer_.reset();
    capacity_ = 0;
}

bool NewFile::ok() const { return ok_ && !(behind_ && behind_->failed()); }

void NewFile::settle() {
    if (!behind_) return;
    behind_->wait();
    if (behind_->failed()) ok_ = false;
    behind_.reset();
}

// Writes n bytes at the position now, after whatever was handed over.
bool NewFile::writeNow(const void* data, std::size_t n) {
    settle();
    if (!ok_ || !detail::writeAt(*sys_, pos_, data, n)) return ok_ = false;
    pos_ += n;
    span_.wrote(*sys_, pos_ - n, n);
    return true;
}

void NewFile::drain() {
    if (used_ && ok()) {
        // From the second piece on, with a processor to spare, a second
        // thread writes each piece while the next is made.
        if (!behind_ && ++drains_ >= 2 && capacity_ == kBufferBytes && usableCores() > 1) {
            try {
                behind_.reset(new detail::WriteBehind(*sys_));
            } catch (const std::system_error&) {
                // No thread to be had: the pieces are written here.
            }
        }
        if (behind_ && capacity_ == kBufferBytes) {
            buffer_ = behind_->hand(std::move(buffer_), used_, pos_);
            pos_ += used_;
        } else {
            writeNow(buffer_.get(), used_);
        }
    }
    used_ = 0;
}

void NewFile::put(const void* data, std::size_t n) {
    if (!ok() || n == 0) return;
    if (n > capacity_ - used_) {
        drain();
        if (n >= capacity_) {
            // Large pieces go out as they are.
            writeNow(data, n);
            return;
        }
    }
    std::memcpy(buffer_.get() + used_, data, n);
    used_ += n;
}

std::uint8_t* NewFile::room(std::size_t n) {
    if (!ok()) return nullptr;
    if (n > capacity_ - used_) drain();
    if (!ok()) return nullptr;
    if (n > capacity_) {
        // Larger than the buffer: a buffer of its own for this file.
        settle();
        releaseBuffer();
        buffer_.reset(new std::uint8_t[n]);
        capacity_ = n;
    }
    return buffer_.get() + used_;
}

namespace {

// One store of a T through the buffer.
template <class T, void (*store)(std::uint8_t*, T)>
void putStored(NewFile& f, T v) {
    std::uint8_t b[sizeof(T)];
    store(b, v);
    f.put(b, sizeof b);
}

}  // namespace

void NewFile::le16(std::uint16_t v) { putStored<std::uint16_t, storeLE16>(*this, v); }
void NewFile::le32(std::uint32_t v) { putStored<std::uint32_t, storeLE32>(*this, v); }
void NewFile::be16(std::uint16_t v) { putStored<std::uint16_t, storeBE16>(*this, v); }
void NewFile::be32(std::uint32_t v) { putStored<std::uint32_t, storeBE32>(*this, v); }

void NewFile::seek(std::uint64_t off) {
    drain();
    pos_ = off;
}

bool NewFile::flush() {
    drain();
    settle();
    return ok_;
}

Written NewFile::prepare() {
    drain();
    settle();
    releaseBuffer();
    if (!ok_) return Written::Failed;
    return detail::prepare(*sys_);
}

Written NewFile::commit() {
    Written w = prepare();
    if (w == Written::Ok) w = detail::publish(*sys_);
    if (w != Written::Ok) {
        abandon();
        return w;
    }
    if (!detail::flushFolder(*sys_)) {
        detail::restore(*sys_);
        abandon();
        return Written::Failed;
    }
    detail::finish(*sys_);
    ok_ = false;
    return Written::Ok;
}

void NewFile::abandon() {
    behind_.reset();  // nothing is written to a file that is being removed
    if (sys_) detail::abandon(*sys_);
    releaseBuffer();
    used_ = 0;
    ok_ = false;
}

bool copyRange(FileWindow& w, std::uint64_t off, std::uint64_t n, NewFile& out) {
    // Read straight into the new file's buffer: one copy less than through
    // a mapped window.
    while (n > 0) {
        const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(n, kBufferBytes));
        std::uint8_t* p = out.room(m);
        if (!p) return true;  // a write failed: out.ok() tells
        if (!w.read(off, p, m)) return false;
        out.advance(m);
        off += m;
        n -= m;
    }
    return true;
}

Written copyFile(const char* source, const char* destination, Target target) {
    FileWindow from;
    if (from.open(source) != Load::Ok) return Written::CannotOpen;
    NewFile out;
    if (const Written w = out.begin(destination, target); w != Written::Ok) return w;
    if (!copyRange(from, 0, from.size(), out)) return Written::Failed;
    from.release();  // Windows renames nothing over an open file
    return out.commit();
}

NewFileBatch::~NewFileBatch() {
    for (NewFile& f : files_) f.abandon();
}

Written NewFileBatch::add(NewFile&& file) {
    file.drain();
    file.settle();
    file.releaseBuffer();
    if (!file.ok_) {
        file.abandon();
        return Written::Failed;
    }
    detail::startWriteOut(*file.sys_);
    files_.push_back(std::move(file));
    // Beyond the files kept open, the oldest open one is flushed, named and
    // closed now.
    if (files_.size() > kOpenInBatch) {
        NewFile& oldest = files_[files_.size() - 1 - kOpenInBatch];
        if (oldest.ok_) {
            Written w = detail::prepare(*oldest.sys_);
            if (w == Written::Ok) w = detail::park(*oldest.sys_);
            oldest.ok_ = false;
            if (w != Written::Ok) {
                // It and every file after it stay unwritten.
                const std::size_t at = files_.size() - 1 - kOpenInBatch;
                for (std::size_t i = at; i < files_.size(); ++i) files_[i].abandon();
                files_.resize(at);
                return w;
            }
        }
    }
    return Written::Ok;
}

Written NewFileBatch::commit(std::size_t& count) {
    count = 0;
    Written result = Written::Ok;
    // Every file is flushed before any is renamed: a rename between two
    // flushes would make the second commit the file system's journal anew.
    std::size_t prepared = 0, published = 0;
    for (; prepared < files_.size(); ++prepared) {
        NewFile& f = files_[prepared];
        const Written w = f.ok_ ? detail::prepare(*f.sys_) : Written::Ok;  // the closed ones are prepared already
        f.ok_ = false;
        if (w != Written::Ok) {
            result = w;
            break;
        }
    }
    for (; published < prepared; ++published) {
        const Written w = detail::publish(*files_[published].sys_);
        if (w != Written::Ok) {
            result = w;
            break;
        }
    }
    for (std::size_t i = published; i < files_.size(); ++i) files_[i].abandon();
    // One flush for each folder the renames changed.
    bool flushed = true;
    for (std::size_t i = 0; i < published && flushed; ++i) {
        bool seen = false;
        for (std::size_t j = 0; j < i && !seen; ++j)
            seen = detail::folder(*files_[j].sys_) == detail::folder(*files_[i].sys_);
        if (!seen) flushed = detail::flushFolder(*files_[i].sys_);
    }
    if (!flushed) {
        for (std::size_t i = published; i-- > 0;) detail::restore(*files_[i].sys_);
        published = 0;
        result = Written::Failed;
    }
    for (std::size_t i = 0; i < published; ++i) detail::finish(*files_[i].sys_);
    for (NewFile& f : files_) f.abandon();
    files_.clear();
    count = published;
    return result;
}

}  // namespace fileio
