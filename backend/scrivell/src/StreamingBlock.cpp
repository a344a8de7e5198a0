#include "StreamingBlock.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <scrivell/fail_points.hpp>
#include "h5/h5.hpp"
#include "text.hpp"
#include "write.hpp"

namespace scrivell {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "scalar rows are written in the machine's byte order as little-endian types");

namespace {

std::string system_reason() { return std::strerror(errno); }

// Writes all `size` bytes at `offset`, resuming after short writes.
void write_all(int fd, const char* data, std::uint64_t size, std::uint64_t offset,
               const std::string& what) {
    while (size > 0) {
        const ssize_t done = fails_now(FailPoint::Pwrite)
                                 ? -1
                                 : ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) throw Error(what + ": " + (done < 0 ? system_reason() : "nothing written"));
        data += done;
        size -= static_cast<std::uint64_t>(done);
        offset += static_cast<std::uint64_t>(done);
    }
}

// Copies `size` bytes between two files through a buffer of 1 MiB. On this project's ext4
// machines that ran at 3300-4100 MiB/s against 2300-2500 for copy_file_range(2), which gains
// only where the file system can share extents.
void copy_range(int from, std::uint64_t from_offset, int to, std::uint64_t to_offset,
                std::uint64_t size, const std::string& what) {
    auto in = static_cast<off_t>(from_offset);
    auto out = static_cast<off_t>(to_offset);
    std::vector<char> buffer(1 << 20);
    while (size > 0) {
        const std::size_t want = std::min<std::uint64_t>(size, buffer.size());
        const ssize_t got = ::pread(from, buffer.data(), want, in);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0)
            throw Error(what + ": " + (got < 0 ? system_reason() : "the source ended early"));
        write_all(to, buffer.data(), static_cast<std::uint64_t>(got),
                  static_cast<std::uint64_t>(out), what);
        in += got;
        out += got;
        size -= static_cast<std::uint64_t>(got);
    }
}

// Where a block's rows start in its file; nothing to find for a block of no bytes.
std::uint64_t data_offset(hid_t dataset, std::int64_t rows, const RowLayout& layout,
                          const std::string& path) {
    if (rows == 0 || layout.row_bytes == 0) return 0;
    const haddr_t address = H5Dget_offset(dataset);
    if (address == HADDR_UNDEF) h5::fail("find the data of", "/entry/data/data", path);
    return address;
}

void sync(const Fd& fd, const std::string& path) {
    if (fails_now(FailPoint::Fsync) || ::fdatasync(fd.get()) != 0) {
        throw Error("sync sub-file " + in_quotes(path) + ": " + system_reason());
    }
}

// HDF5 opens `name` through the descriptor that holds it, never through the name again.
hid_t open_through(const Fd& fd, unsigned flags, h5::Access access = {}) {
    const h5::Plist fapl = h5::file_access(access);
    return H5Fopen(descriptor_path(fd.get()).c_str(), flags, fapl.get());
}

}  // namespace

bool stored_in_chunks(const Compression& compression, const RowLayout& layout) {
    return !compression.none() && layout.row_bytes > 0;
}

namespace {

// The bytes of one element of a layout's rows.
std::uint64_t element_bytes(const RowLayout& layout) {
    std::uint64_t elements = 1;
    for (const auto dim : layout.shape) elements *= dim;
    return elements ? layout.row_bytes / elements : 1;
}

}  // namespace

RowLayout RowLayout::of(const zelt::Value& item, const std::string& where) {
    if (const auto* array = item.as<zelt::NdArray>()) {
        return {array->typestr(), array->shape(), array->raw_bytes()};
    }
    if (item.is<std::int64_t>()) return {"<i8", {}, 8};
    if (item.is<std::uint64_t>()) return {"<u8", {}, 8};
    if (item.is<double>()) return {"<f8", {}, 8};
    if (item.is<bool>()) return {"|b1", {}, 1};
    throw Error(where + ": an item is a number or an array, not a " + item.kind_name());
}

RowLayout RowLayout::from(std::string typestr, std::vector<std::uint64_t> shape) {
    // The type string read as the codec reads it: one parser of type strings.
    std::uint64_t bytes = 0;
    try {
        bytes = zelt::NdArray::view(typestr, shape, nullptr).size_bytes();
    } catch (const zelt::Error& error) {
        throw Error(std::string("a block's rows: ") + error.what());
    }
    return {std::move(typestr), std::move(shape), bytes};
}

std::string RowLayout::describe() const {
    std::string out = typestr + " (";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(shape[i]);
    }
    return out + (shape.size() == 1 ? ",)" : ")");
}

SubFile create_sub_file(const Directory& dir, const std::string& name, std::int64_t rows,
                        const RowLayout& layout, const Compression& compression) {
    const std::string path = dir.path_of(name);
    std::vector<hsize_t> dims{static_cast<hsize_t>(rows)};
    dims.insert(dims.end(), layout.shape.begin(), layout.shape.end());
    // Rows of no bytes (an empty region of interest, a module switched off) have nothing to
    // compress: such a block is stored as it is, whatever the codec.
    const bool chunked = stored_in_chunks(compression, layout);
    SubFile made{dir.create(name), 0};
    try {
        // The library's defaults, but for a compressed block, whose rows readers follow
        // through SWMR: that needs the latest format. HDF5 writes into the file just made, by
        // its descriptor.
        const h5::Plist fapl = h5::file_access({/*latest=*/chunked});
        h5::File file{h5::check(H5Fcreate(descriptor_path(made.fd.get()).c_str(), H5F_ACC_TRUNC,
                                          H5P_DEFAULT, fapl.get()),
                                "create file", path)};
        h5::Plist dcpl{h5::check(H5Pcreate(H5P_DATASET_CREATE), "create", "dataset creation list")};
        std::vector<hsize_t> max_dims = dims;
        if (!chunked) {
            h5::check(H5Pset_layout(dcpl.get(), H5D_CONTIGUOUS), "set", "contiguous layout");
            // Allocated now and never filled: the data have a fixed place that rows are
            // written into directly, and nothing is written twice.
            h5::check(H5Pset_alloc_time(dcpl.get(), H5D_ALLOC_TIME_EARLY), "set",
                      "allocation time");
            h5::check(H5Pset_fill_time(dcpl.get(), H5D_FILL_TIME_NEVER), "set", "fill time");
        } else {
            // One row per chunk, with the codec's filter. It holds no row yet and grows by
            // one with each: a reader never meets a row that is not written.
            std::vector<hsize_t> chunk = dims;
            chunk[0] = 1;
            for (auto& dim : chunk) dim = std::max<hsize_t>(dim, 1);
            dims[0] = 0;
            max_dims[0] = H5S_UNLIMITED;
            h5::check(H5Pset_chunk(dcpl.get(), static_cast<int>(chunk.size()), chunk.data()), "set",
                      "chunks of one row");
            const std::vector<unsigned> parameters =
                compression.filter_parameters(element_bytes(layout));
            h5::check(H5Pset_filter(dcpl.get(), compression.filter_id(), H5Z_FLAG_MANDATORY,
                                    parameters.size(), parameters.data()),
                      "set", "the " + compression.name() + " filter");
        }
        h5::Type type = h5::type_of_typestr(layout.typestr, "/entry/data/data");
        h5::Space space{
            h5::check(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), max_dims.data()),
                      "create", "dataspace")};
        h5::Plist lcpl = h5::intermediate_groups();
        h5::Dataset dataset{h5::check(H5Dcreate2(file.get(), "/entry/data/data", type.get(),
                                                 space.get(), lcpl.get(), dcpl.get(), H5P_DEFAULT),
                                      "create dataset", "/entry/data/data", path)};
        if (!chunked) made.data_offset = data_offset(dataset.get(), rows, layout, path);
        dataset.close("/entry/data/data");
        file.close(path);
    } catch (...) {
        dir.remove_quietly(name);
        throw;
    }
    return made;
}

bool holds_a_block(const Directory& dir, const std::string& name) {
    std::optional<Fd> fd = dir.open_existing(name, O_RDONLY);
    if (!fd) return false;
    const hid_t id = open_through(*fd, H5F_ACC_RDONLY);
    if (id < 0) return false;
    h5::File file{id};
    return h5::path_exists(id, "/entry/data/data");
}

namespace {

// A block whose rows lie in place in its file, written with pwrite(2); HDF5 made the file and
// is not open while rows are written.
class RawBlock final : public StreamingBlock {
  public:
    RawBlock(std::shared_ptr<const Directory> dir, std::string name, std::int64_t rows,
             RowLayout layout, Compression compression)
        : StreamingBlock(std::move(dir), std::move(name), rows, std::move(layout), compression) {}

    void create() {
        const std::string hidden = hidden_name(name_);
        SubFile made = create_sub_file(*dir_, hidden, rows_, layout_);
        fd_ = std::move(made.fd);
        data_offset_ = made.data_offset;
        hidden_name_ = hidden;
    }
    void take_up(Fd fd, h5::File file, h5::Dataset dataset, std::int64_t written) {
        hidden_name_ = hidden_name(name_);
        written_ = written;
        readable_ = written;
        stored_bytes_ = static_cast<std::uint64_t>(written_) * layout_.row_bytes;
        data_offset_ = data_offset(dataset.get(), rows_, layout_, hidden_path());
        dataset.close("/entry/data/data");
        file.close(hidden_path());
        fd_ = std::move(fd);
    }

  private:
    void write_row(const char* bytes, const std::string& where) override {
        const std::uint64_t offset =
            data_offset_ + static_cast<std::uint64_t>(written_) * layout_.row_bytes;
        write_all(
            fd_.get(), bytes, layout_.row_bytes, offset,
            where + ": write row " + std::to_string(written_) + " of " + in_quotes(hidden_path()));
        stored_bytes_ += layout_.row_bytes;
    }
    // A row of no bytes: nothing to store, whatever its chunk says.
    void write_row_chunk(const char*, std::uint64_t, const std::string&) override {}

    void finish_file(bool sync_data) override {
        if (full()) {
            if (sync_data) sync(fd_, hidden_path());
            rename_into_place(hidden_name_);
            hidden_name_.clear();
            close_checked(fd_, path_);
            return;
        }
        // The last block of a file: a sub-file of exactly its rows, under a hidden name of its
        // own until the rows are in.
        const std::string short_name = hidden_name_ + ".last";
        const std::string short_path = dir_->path_of(short_name);
        dir_->remove(short_name);
        SubFile target = create_sub_file(*dir_, short_name, written_, layout_);
        try {
            copy_range(
                fd_.get(), data_offset_, target.fd.get(), target.data_offset,
                static_cast<std::uint64_t>(written_) * layout_.row_bytes,
                "copy the rows of " + in_quotes(hidden_path()) + " to " + in_quotes(short_path));
            if (sync_data) sync(target.fd, short_path);
            close_checked(target.fd, short_path);
            rename_into_place(short_name);
        } catch (...) {
            dir_->remove_quietly(short_name);
            throw;
        }
        fd_ = Fd();
        dir_->remove_quietly(hidden_name_);
        hidden_name_.clear();
    }

    std::uint64_t data_offset_ = 0;
};

// A block whose rows are compressed, one row per chunk with the codec's HDF5 filter, each
// written as its chunk through HDF5, which holds the file open until the block is finished.
// The file is written in SWMR mode: the dataset grows by one row before each chunk, and a
// reader opening the file with SWMR reads every row published (flushed) so far.
class CompressedBlock final : public StreamingBlock {
  public:
    CompressedBlock(std::shared_ptr<const Directory> dir, std::string name, std::int64_t rows,
                    RowLayout layout, Compression compression)
        : StreamingBlock(std::move(dir), std::move(name), rows, std::move(layout), compression) {}

    void create() {
        const std::string hidden = hidden_name(name_);
        fd_ = create_sub_file(*dir_, hidden, rows_, layout_, compression_).fd;
        hidden_name_ = hidden;
        file_ = h5::File{open_through(fd_, H5F_ACC_RDWR, {/*latest=*/true})};
        if (file_.get() < 0) h5::fail("open block", hidden_path(), "");
        dataset_ = h5::Dataset{h5::check(H5Dopen2(file_.get(), "/entry/data/data", H5P_DEFAULT),
                                         "open dataset", "/entry/data/data", hidden_path())};
        start_swmr();
        if (!swmr_) h5::fail("start SWMR writing of", "/entry/data/data", hidden_path());
    }
    void take_up(Fd fd, h5::File file, h5::Dataset dataset, std::int64_t written) {
        hidden_name_ = hidden_name(name_);
        written_ = written;
        readable_ = written;
        // Rows past those journaled, if any, are written over by the next items. What the
        // rows take is read from the file, so that the block's ratio stays true.
        stored_bytes_ = H5Dget_storage_size(dataset.get());
        file_ = std::move(file);
        dataset_ = std::move(dataset);
        fd_ = std::move(fd);
        // A block an older writer began, in the older format, is taken up without SWMR.
        start_swmr();
    }
    bool swmr() const override { return swmr_; }

  private:
    void flush_rows() override {
        if (readable_ == written_ || file_.get() < 0) return;
        // The file, not only the dataset: flushing the dataset alone leaves the file's end
        // behind its last chunks, and a file left so by a crash could not be taken up.
        const bool injected = fails_now(FailPoint::H5Fflush);
        if (injected || H5Fflush(file_.get(), H5F_SCOPE_LOCAL) < 0) {
            throw Error("publish rows " + std::to_string(readable_) + "-" +
                        std::to_string(written_ - 1) + " of " + in_quotes(hidden_path()) + ": " +
                        (injected ? std::strerror(EIO) : h5::stack_reason()));
        }
    }
    void write_row(const char* bytes, const std::string& where) override {
        const std::vector<char> chunk =
            compression_.compress(bytes, layout_.row_bytes, element_bytes(layout_));
        write_row_chunk(chunk.data(), chunk.size(), where);
    }
    void write_row_chunk(const char* chunk, std::uint64_t size, const std::string& where) override {
        std::vector<hsize_t> offset(layout_.shape.size() + 1, 0);
        offset[0] = static_cast<hsize_t>(written_);
        const std::string what =
            where + ": write row " + std::to_string(written_) + " of " + in_quotes(hidden_path());
        std::vector<hsize_t> dims{static_cast<hsize_t>(written_ + 1)};
        dims.insert(dims.end(), layout_.shape.begin(), layout_.shape.end());
        if (fails_now(FailPoint::H5DwriteChunk)) throw Error(what + ": " + std::strerror(EIO));
        if (H5Dset_extent(dataset_.get(), dims.data()) < 0 ||
            H5Dwrite_chunk(dataset_.get(), H5P_DEFAULT, /*filters=*/0, offset.data(), size, chunk) <
                0) {
            const std::string reason = h5::stack_reason();
            // The row stays the next one's: a reader is never shown it.
            dims[0] = static_cast<hsize_t>(written_);
            (void)H5Dset_extent(dataset_.get(), dims.data());
            throw Error(what + ": " + reason);
        }
        // The chunk and its place in the file's index reach the file at the next
        // publication, which comes before the journal records the row.
        stored_bytes_ += size;
    }

    void finish_file(bool sync_data) override {
        // A last block that is not full already holds exactly its rows.
        dataset_.close("/entry/data/data");
        file_.close(hidden_path());
        if (sync_data) sync(fd_, hidden_path());
        rename_into_place(hidden_name_);
        hidden_name_.clear();
        close_checked(fd_, path_);
    }
    void close_quietly() override {
        dataset_ = h5::Dataset();
        file_ = h5::File();
    }

    void start_swmr() { swmr_ = H5Fstart_swmr_write(file_.get()) >= 0; }

    h5::File file_;  // before the dataset: closed after it
    h5::Dataset dataset_;
    bool swmr_ = false;
};

// The hidden file of block `name`, opened to be taken up, its shape checked against what the
// journal says; a compressed last block cut before a failed rename is grown back.
struct Opened {
    Fd fd;
    h5::File file;
    h5::Dataset dataset;
};

Opened open_to_take_up(const Directory& dir, const std::string& name, std::int64_t rows,
                       const RowLayout& layout, std::int64_t written, bool chunked) {
    const std::string hidden = hidden_name(name);
    const std::string hidden_path = dir.path_of(hidden);
    std::optional<Fd> fd = dir.open_existing(hidden, O_RDWR);
    if (!fd) throw Error("take up block " + in_quotes(hidden_path) + ": it is gone");
    // A compressed block was written in SWMR mode: the crash left it marked as open for
    // writing, which taking it up clears. One an older writer began opens as it is.
    hid_t id = open_through(*fd, chunked ? H5F_ACC_RDWR : H5F_ACC_RDONLY,
                            {/*latest=*/chunked, /*clear_status_flags=*/chunked});
    if (id < 0 && chunked) id = open_through(*fd, H5F_ACC_RDWR);
    if (id < 0) h5::fail("take up block", hidden_path, "");
    h5::File file{id};
    h5::Dataset dataset{h5::check(H5Dopen2(id, "/entry/data/data", H5P_DEFAULT), "open dataset",
                                  "/entry/data/data", hidden_path)};
    h5::Space space{
        h5::check(H5Dget_space(dataset.get()), "read shape of", "/entry/data/data", hidden_path)};
    std::vector<hsize_t> dims(
        static_cast<std::size_t>(std::max(0, H5Sget_simple_extent_ndims(space.get()))));
    if (!dims.empty()) H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr);
    std::vector<hsize_t> want{static_cast<hsize_t>(rows)};
    want.insert(want.end(), layout.shape.begin(), layout.shape.end());
    // A compressed block holds the rows written so far, and may hold rows past those its
    // journal counts: those are cut, and written over by the next items.
    const bool grown = chunked && dims.size() == want.size() && !dims.empty() &&
                       std::equal(dims.begin() + 1, dims.end(), want.begin() + 1) &&
                       dims[0] >= static_cast<hsize_t>(written) && dims[0] <= want[0];
    if ((dims != want && !grown) || written > rows) {
        const RowLayout found{layout.typestr, {dims.begin(), dims.end()}, 0};
        throw Error("take up block " + in_quotes(hidden_path) + ": it holds " + found.describe() +
                    ", and its journal says " + std::to_string(written) + " of " +
                    std::to_string(rows) + " rows of " + layout.describe());
    }
    want[0] = static_cast<hsize_t>(written);
    if (grown && dims[0] != want[0] && H5Dset_extent(dataset.get(), want.data()) < 0) {
        h5::fail("cut to its journaled rows", "/entry/data/data", hidden_path);
    }
    return {std::move(*fd), std::move(file), std::move(dataset)};
}

}  // namespace

StreamingBlock::StreamingBlock(std::shared_ptr<const Directory> dir, std::string name,
                               std::int64_t rows, RowLayout layout, Compression compression)
    : layout_(std::move(layout)),
      compression_(compression),
      rows_(rows),
      dir_(std::move(dir)),
      name_(std::move(name)),
      path_(dir_->path_of(name_)) {}

std::unique_ptr<StreamingBlock> StreamingBlock::start(std::shared_ptr<const Directory> dir,
                                                      std::string name, std::int64_t rows,
                                                      RowLayout layout, Compression compression) {
    // A hidden file left by an earlier run is nobody's: its name is removed (a link is
    // removed itself, never what it points to), and the block's file is made anew.
    dir->remove(hidden_name(name));
    if (stored_in_chunks(compression, layout)) {
        auto block = std::make_unique<CompressedBlock>(std::move(dir), std::move(name), rows,
                                                       std::move(layout), compression);
        block->create();
        return block;
    }
    auto block = std::make_unique<RawBlock>(std::move(dir), std::move(name), rows,
                                            std::move(layout), compression);
    block->create();
    return block;
}

std::unique_ptr<StreamingBlock> StreamingBlock::take_up(std::shared_ptr<const Directory> dir,
                                                        std::string name, std::int64_t rows,
                                                        RowLayout layout, std::int64_t written,
                                                        Compression compression) {
    const bool chunked = stored_in_chunks(compression, layout);
    Opened opened = open_to_take_up(*dir, name, rows, layout, written, chunked);
    if (chunked) {
        auto block = std::make_unique<CompressedBlock>(std::move(dir), std::move(name), rows,
                                                       std::move(layout), compression);
        block->take_up(std::move(opened.fd), std::move(opened.file), std::move(opened.dataset),
                       written);
        return block;
    }
    auto block = std::make_unique<RawBlock>(std::move(dir), std::move(name), rows,
                                            std::move(layout), compression);
    block->take_up(std::move(opened.fd), std::move(opened.file), std::move(opened.dataset),
                   written);
    return block;
}

std::string StreamingBlock::hidden_path() const { return dir_->path_of(hidden_name_); }

void StreamingBlock::discard() {
    close_quietly();
    fd_ = Fd();
    if (!hidden_name_.empty()) dir_->remove(hidden_name_);
    hidden_name_.clear();
}

void StreamingBlock::write_chunk(const char* chunk, std::uint64_t size, const std::string& where) {
    if (full()) throw Error(where + ": block " + name_ + " is full");
    write_row_chunk(chunk, size, where);
    ++written_;
}

void StreamingBlock::refuse_unless_fits(const zelt::NdArray& array,
                                        const std::string& where) const {
    if (array.typestr() == layout_.typestr && array.shape() == layout_.shape) return;
    throw Error(where + ": the item is an array " + RowLayout::of(array, where).describe() +
                ", but block " + name_ + " holds " + layout_.describe() + " rows");
}

void StreamingBlock::write(const zelt::Value& item, const std::string& where) {
    const char* bytes = nullptr;
    std::int64_t integer = 0;
    double number = 0;
    std::int8_t flag = 0;
    const RowLayout& want = layout_;
    auto refuse = [&](const std::string& what) {
        throw Error(where + ": the item is " + what + ", but block " + name_ + " holds " +
                    want.describe() + " rows");
    };
    if (const auto* array = item.as<zelt::NdArray>()) {
        if (array->precompressed()) {
            throw Error(where + ": a pre-compressed frame goes only into a split dataset " +
                        "registered with {\"compression\": \"bslz4\"}; register it so");
        }
        if (array->typestr() != want.typestr || array->shape() != want.shape) {
            refuse("an array " + RowLayout::of(item, where).describe());
        }
        bytes = array->data();
    } else if (want.shape.empty() && want.typestr == "<f8" &&
               (item.is<std::int64_t>() || item.is<std::uint64_t>() || item.is<double>())) {
        // Integers among floats are stored as floats, as stacked values are.
        if (const auto* d = item.as<double>()) number = *d;
        if (const auto* n = item.as<std::int64_t>()) number = static_cast<double>(*n);
        if (const auto* u = item.as<std::uint64_t>()) number = static_cast<double>(*u);
        bytes = reinterpret_cast<const char*>(&number);
    } else if (const auto* n = item.as<std::int64_t>();
               n && want.typestr == "<i8" && want.shape.empty()) {
        integer = *n;
        bytes = reinterpret_cast<const char*>(&integer);
    } else if (const auto* u = item.as<std::uint64_t>();
               u && want.typestr == "<u8" && want.shape.empty()) {
        integer = static_cast<std::int64_t>(*u);
        bytes = reinterpret_cast<const char*>(&integer);
    } else if (const auto* b = item.as<bool>(); b && want.typestr == "|b1" && want.shape.empty()) {
        flag = *b ? 1 : 0;
        bytes = reinterpret_cast<const char*>(&flag);
    } else if (item.is<std::int64_t>() || item.is<std::uint64_t>() || item.is<double>() ||
               item.is<bool>()) {
        refuse("a " + std::string(item.kind_name()) + " (" + RowLayout::of(item, where).typestr +
               ")");
    } else {
        refuse(std::string("a ") + item.kind_name());
    }
    if (full()) throw Error(where + ": block " + name_ + " is full");
    write_row(bytes, where);
    ++written_;
}

void StreamingBlock::rename_into_place(const std::string& from) {
    if (dir_->rename_new(from, name_)) return;
    // The one file the block replaces: a stale file that is not a block. A block of another
    // scan was refused when this block began; one that came since is left alone too.
    const Directory::Kind kind = dir_->kind_of(name_);
    if (kind != Directory::Kind::Regular && kind != Directory::Kind::Link) {
        throw Error("rename " + in_quotes(dir_->path_of(from)) + " to " + in_quotes(path_) + ": " +
                    dir_->described(name_) + " is in the way");
    }
    if (kind == Directory::Kind::Regular && holds_a_block(*dir_, name_)) {
        throw Error("rename " + in_quotes(dir_->path_of(from)) + " to " + in_quotes(path_) +
                    ": it holds a block of another scan now; write this scan into a new directory");
    }
    dir_->remove(name_);
    if (!dir_->rename_new(from, name_)) {
        throw Error("rename " + in_quotes(dir_->path_of(from)) + " to " + in_quotes(path_) +
                    ": another file took the name meanwhile");
    }
}

void StreamingBlock::publish() {
    flush_rows();
    readable_ = written_;
}

void StreamingBlock::finish(bool sync_data) {
    if (finished()) return;
    finish_file(sync_data);
}

}  // namespace scrivell
