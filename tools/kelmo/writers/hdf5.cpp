// HDF5: the run as a group "/run" holding the dataset "samples" of shape
// (channels, samples), float64, chunked and extendible so that it grows
// block by block, and the run's facts as the group's attributes. Readable
// by h5py, h5dump and every analysis stack that reads HDF5.
#include <fcntl.h>
#include <hdf5.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

#include "../../portable.h"
#include "say.h"
#include "writer.h"

namespace kelmo::cli {
namespace {

// HDF5 prints its error stack unless told not to; the writer reports the
// innermost description itself, on one line.
std::string hdf5_error() {
    std::string said;
    H5Ewalk2(
        H5E_DEFAULT, H5E_WALK_UPWARD,
        [](unsigned, const H5E_error2_t* e, void* out) -> herr_t {
            auto& s = *static_cast<std::string*>(out);
            if (s.empty() && e->desc && *e->desc) s = e->desc;
            return 0;
        },
        &said);
    H5Eclear2(H5E_DEFAULT);
    // The system's words where HDF5 quotes them, else its first line.
    const std::string quoted = "error message = '";
    if (const auto at = said.find(quoted); at != std::string::npos) {
        const auto end = said.find('\'', at + quoted.size());
        return said.substr(at + quoted.size(), end == std::string::npos ? std::string::npos : end - at - quoted.size());
    }
    said = said.substr(0, said.find('\n'));
    return said.empty() ? std::string("HDF5 gave no cause") : said;
}

// HDF5 prints its error stack on the thread that meets an error unless that
// thread told it not to.
// HDF5's own clean-up at exit is left out too: after a write that failed
// for a full disk, the file it could not close would make it crash there.
void quiet_hdf5() {
    static const bool once = [] {
        H5dont_atexit();
        return true;
    }();
    (void)once;
    thread_local bool quiet = false;
    if (!quiet) H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    quiet = true;
}

// One HDF5 handle, closed with its own function.
class Handle {
public:
    Handle() = default;
    Handle(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    Handle(Handle&& o) noexcept : id_(o.id_), close_(o.close_) { o.id_ = H5I_INVALID_HID; }
    Handle& operator=(Handle&& o) noexcept {
        reset();
        id_ = o.id_;
        close_ = o.close_;
        o.id_ = H5I_INVALID_HID;
        return *this;
    }
    ~Handle() { reset(); }
    hid_t get() const { return id_; }
    explicit operator bool() const { return id_ >= 0; }
    bool reset() {
        const bool ok = id_ < 0 || close_(id_) >= 0;
        id_ = H5I_INVALID_HID;
        return ok;
    }

private:
    hid_t id_ = H5I_INVALID_HID;
    herr_t (*close_)(hid_t) = nullptr;
};

class Hdf5Writer final : public SampleWriter {
public:
    Hdf5Writer(const OutputTarget& t, bool compress) : target_(t) {
        quiet_hdf5();
        const hsize_t channels = t.channels.size();
        // The file is made (or emptied) first as every output is: a name
        // that cannot be written is said in the system's words, and a file
        // that HDF5 then could not begin is this run's to remove.
        const int fd = kelmo::tools::open_for_writing(t.path);
        if (fd < 0) {
            say("kelmo: cannot write %s: %s", t.path.c_str(), std::strerror(errno));
            failed_ = true;
            return;
        }
        made_ = true;
        if (!kelmo::tools::close_descriptor(fd)) {
            say("kelmo: cannot write %s: %s", t.path.c_str(), std::strerror(errno));
            failed_ = true;
            return;
        }
        // The newest file format: what single-writer, multiple-reader access
        // needs, so that readers follow the run as it grows.
        Handle fileAccess(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
        H5Pset_libver_bounds(fileAccess.get(), H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
        file_ = Handle(H5Fcreate(t.path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fileAccess.get()), H5Fclose);
        if (!file_) {
            fail("cannot be created");
            return;
        }
        group_ = Handle(H5Gcreate2(file_.get(), "run", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose);
        if (!group_) {
            fail("cannot hold the run's group");
            return;
        }
        // About 1 MiB per chunk: large enough for the disk, small enough to
        // be flushed as the run goes.
        const hsize_t per = std::clamp<hsize_t>(131072 / std::max<hsize_t>(channels, 1), 1024, 65536);
        const hsize_t now[2] = {channels, 0}, most[2] = {channels, H5S_UNLIMITED}, chunk[2] = {channels, per};
        Handle space(H5Screate_simple(2, now, most), H5Sclose);
        Handle props(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
        H5Pset_chunk(props.get(), 2, chunk);
        if (compress) {
            H5Pset_shuffle(props.get());
            H5Pset_deflate(props.get(), 4);
        }
        // No chunk cache: a block is on disk once written, so a write that
        // fails (a full disk) is known at once and shrinks the dataset back
        // to what is there, never leaving zeros in its place.
        Handle access(H5Pcreate(H5P_DATASET_ACCESS), H5Pclose);
        H5Pset_chunk_cache(access.get(), 0, 0, 1.0);
        data_ = Handle(H5Dcreate2(group_.get(), "samples", stored_type(t.raw), space.get(), H5P_DEFAULT, props.get(),
                                  access.get()),
                       H5Dclose);
        if (!data_) {
            fail("cannot hold the samples");
            return;
        }
        chunkBytes_ = channels * per * H5Tget_size(stored_type(t.raw));
        chunkSamples_ = per;
        if (!facts()) {
            fail("cannot hold the run's facts");
            return;
        }
        // On the disk before the first sample: a run that ends anywhere
        // after this leaves a file that opens.
        if (H5Fflush(file_.get(), H5F_SCOPE_LOCAL) < 0) {
            fail("cannot be written");
            return;
        }
        // Every object and attribute is there: from now on readers may open
        // the file while it grows (h5py.File(path, "r", swmr=True), then
        // refresh() the dataset). The switch writes the file's first
        // blocks again: when it fails the file is in no state to go on.
        swmr_ = H5Fstart_swmr_write(file_.get()) >= 0;
        if (!swmr_) fail("cannot be opened to readers as it grows");
    }

    bool block(const double* data, int len, int stride) override {
        if (failed_) return false;
        quiet_hdf5();
        const hsize_t channels = target_.channels.size();
        const hsize_t size[2] = {channels, samples_ + hsize_t(len)};
        if (const int err = reserve(len); err != 0) {
            errno = err;
            return fail("could not take the samples", std::strerror(err));
        }
        if (H5Dset_extent(data_.get(), size) < 0) return fail("cannot grow");
        Handle file(H5Dget_space(data_.get()), H5Sclose);
        const hsize_t start[2] = {0, samples_}, count[2] = {channels, hsize_t(len)};
        H5Sselect_hyperslab(file.get(), H5S_SELECT_SET, start, nullptr, count, nullptr);
        // The block as it lies in memory: `len` of every `stride` values.
        const hsize_t held[2] = {channels, hsize_t(stride)}, zero[2] = {0, 0};
        Handle memory(H5Screate_simple(2, held, nullptr), H5Sclose);
        H5Sselect_hyperslab(memory.get(), H5S_SELECT_SET, zero, nullptr, count, nullptr);
        if (H5Dwrite(data_.get(), H5T_NATIVE_DOUBLE, memory.get(), file.get(), H5P_DEFAULT, data) < 0 ||
            H5Fflush(file_.get(), H5F_SCOPE_LOCAL) < 0) {
            fail("could not take the samples");
            keep_what_was_written();
            return false;
        }
        samples_ += hsize_t(len);
        return true;
    }

    // Closing flushes: an interrupted run leaves a file that opens, with
    // every sample written until then.
    bool finish() override {
        quiet_hdf5();
        const bool closed = data_.reset() & group_.reset() & file_.reset();
        if (!closed && !failed_) fail("could not be completed");
        return !failed_;
    }

    bool failed() const { return failed_; }
    bool made() const { return made_; }

private:
    // After a failed write the dataset is cut back to what was flushed
    // before. A file being read as it grows can only grow, so it is closed
    // and opened again on its own for that.
    void keep_what_was_written() {
        const hsize_t kept[2] = {target_.channels.size(), samples_};
        if (!swmr_) {
            H5Dset_extent(data_.get(), kept);
            H5Fflush(file_.get(), H5F_SCOPE_LOCAL);
            return;
        }
        data_.reset();
        group_.reset();
        file_.reset();
        Handle file(H5Fopen(target_.path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT), H5Fclose);
        Handle data(file ? H5Dopen2(file.get(), "run/samples", H5P_DEFAULT) : H5I_INVALID_HID, H5Dclose);
        if (data) H5Dset_extent(data.get(), kept);
        H5Eclear2(H5E_DEFAULT);
    }

    // Values as float64; raw words as the integers they are (HDF5 converts
    // the doubles that carry them, exactly).
    static hid_t stored_type(const RawWords& raw) {
        if (raw.bytes == 2) return raw.isSigned ? H5T_STD_I16LE : H5T_STD_U16LE;
        if (raw.bytes == 4) return raw.isSigned ? H5T_STD_I32LE : H5T_STD_U32LE;
        return H5T_IEEE_F64LE;
    }

    bool fail(const char* what, const std::string& cause = {}) {
        if (!failed_)
            say("kelmo: writing %s failed: the HDF5 file %s (%s)", target_.path.c_str(), what,
                cause.empty() ? hdf5_error().c_str() : cause.c_str());
        failed_ = true;
        return false;
    }

    // Room on the disk for what the block makes HDF5 write, taken before it
    // writes any of it: the chunks the block writes (a chunk is written
    // whole; a compressed one goes to a new place each time) and room for
    // the metadata that follows them. HDF5 writes its metadata in pieces,
    // and a disk that filled half-way through them would leave a file that
    // no longer opens; a disk that is full now ends the run with the file
    // as the last block left it. The room is taken at the end of what HDF5
    // has allocated, and HDF5 gives back what it did not use when it
    // flushes. 0, or the cause why there is no room.
    int reserve(int len) {
        void* handle = nullptr;
        haddr_t eoa = 0;
        if (H5Fget_vfd_handle(file_.get(), H5P_DEFAULT, &handle) < 0 || !handle ||
            H5Fget_eoa(file_.get(), &eoa) < 0) {
            H5Eclear2(H5E_DEFAULT);
            return 0;  // not the POSIX driver: HDF5 finds out itself
        }
        const hsize_t chunks = (samples_ + hsize_t(len) - 1) / chunkSamples_ - samples_ / chunkSamples_ + 1;
        const hsize_t room = chunks * (chunkBytes_ + chunkBytes_ / 64) + (hsize_t(256) << 10);
        const int err = ::posix_fallocate(*static_cast<int*>(handle), off_t(eoa), off_t(room));
        // A file system that cannot reserve (or a descriptor that is not a
        // file's) writes as it comes.
        return err == ENOSPC || err == EDQUOT || err == EFBIG ? err : 0;
    }

    // A scalar attribute, or (count > 0) a list of `count`, of `on`.
    static bool attribute(hid_t on, const char* name, hid_t type, const void* value, hsize_t count = 0) {
        Handle space(count == 0 ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &count, nullptr), H5Sclose);
        Handle a(H5Acreate2(on, name, type, space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
        return a && H5Awrite(a.get(), type, value) >= 0;
    }
    bool attribute(const char* name, hid_t type, const void* value, hsize_t count = 0) {
        return attribute(group_.get(), name, type, value, count);
    }
    bool text(const char* name, const std::string& value) { return text(group_.get(), name, value); }
    static bool text(hid_t on, const char* name, const std::string& value) {
        // Variable-length UTF-8, which h5py reads as str.
        Handle type(H5Tcopy(H5T_C_S1), H5Tclose);
        H5Tset_size(type.get(), H5T_VARIABLE);
        H5Tset_cset(type.get(), H5T_CSET_UTF8);
        const char* text = value.c_str();
        return attribute(on, name, type.get(), &text);
    }

    bool facts() {
        const int type = target_.cardType;
        const double rate = target_.rate, fullScale = target_.fullScale;
        const std::vector<int> gains(target_.channels.size(), target_.gain);
        bool ok = attribute("card type", H5T_NATIVE_INT, &type) && attribute("rate", H5T_NATIVE_DOUBLE, &rate) &&
                  attribute("channels", H5T_NATIVE_INT, target_.channels.data(), target_.channels.size()) &&
                  attribute("gains", H5T_NATIVE_INT, gains.data(), gains.size()) &&
                  attribute("full scale", H5T_NATIVE_DOUBLE, &fullScale);
        if (target_.divider != 0) ok = ok && attribute("divider", H5T_NATIVE_UINT32, &target_.divider);
        for (const auto& [name, value] : run_facts(target_))
            if (name == "kelmo" || name == "unit" || name == "start")
                ok = ok && text(name == "kelmo" ? "kelmo version" : name.c_str(), value);
        ok = ok && text("rate unit", "Hz") && text("layout", "samples[channel index, sample]");
        if (target_.raw.bytes != 0)
            ok = ok && attribute("raw scale", H5T_NATIVE_DOUBLE, &target_.raw.scale) &&
                 attribute("raw offset", H5T_NATIVE_DOUBLE, &target_.raw.offset) &&
                 text("raw words", "samples holds the card's raw words: value = word * raw scale + raw offset");
        return ok && parameters();
    }

    // The simulated source's parameters: the group /run/parameters with an
    // attribute per entry in use ("entry 0": "cosine constant f 50..50 Hz …").
    bool parameters() {
        if (target_.parameters.empty()) return true;
        Handle g(H5Gcreate2(group_.get(), "parameters", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose);
        if (!g) return false;
        for (const std::string& line : target_.parameters) {
            int entry = -1, used = 0;
            if (std::sscanf(line.c_str(), "entry %d%n", &entry, &used) != 1) continue;
            std::string what = line.substr(std::size_t(used));
            what.erase(0, what.find_first_not_of(' '));
            std::string squeezed;  // the columns' padding goes
            for (const char ch : what)
                if (ch != ' ' || squeezed.empty() || squeezed.back() != ' ') squeezed += ch;
            if (!text(g.get(), ("entry " + std::to_string(entry)).c_str(), squeezed)) return false;
        }
        return true;
    }

    OutputTarget target_;
    Handle file_, group_, data_;
    hsize_t samples_ = 0;
    hsize_t chunkBytes_ = 0, chunkSamples_ = 1;  // a chunk's bytes, and its samples per channel
    bool failed_ = false, made_ = false;
    bool swmr_ = false;
};

}  // namespace

std::unique_ptr<SampleWriter> hdf5_writer(const OutputTarget& target) {
    auto w = std::make_unique<Hdf5Writer>(target, target.compress);
    if (w->failed()) {
        // A file that could not be begun is not left behind.
        const bool made = w->made();
        w->finish();
        w.reset();
        if (made) discard_output(target.path);
        return nullptr;
    }
    return w;
}

}  // namespace kelmo::cli
