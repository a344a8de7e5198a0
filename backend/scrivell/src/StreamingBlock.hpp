#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include <zelt/Value.hpp>

#include <scrivell/Compression.hpp>
#include "Directory.hpp"
#include "names.hpp"

namespace scrivell {

// What every row of one block holds: the element type (a NumPy type string), the shape of one
// item, and the bytes of one row. Scalars are rows of shape ().
struct RowLayout {
    std::string typestr;
    std::vector<std::uint64_t> shape;
    std::uint64_t row_bytes = 0;

    // The layout of `item`: an array, or a number or boolean. Throws Error for anything else.
    static RowLayout of(const zelt::Value& item, const std::string& where);
    // "<u2 (512, 512)"
    std::string describe() const;
    // The layout a type string and a shape give.
    static RowLayout from(std::string typestr, std::vector<std::uint64_t> shape);
};

// One block of a split dataset on its way to disk. Its sub-file is created at the block's first
// item under a hidden name ("." + final name + ".part") with a dataset "/entry/data/data" that
// already holds all its rows, contiguous and allocated; each item is written into its row as it
// arrives. Nothing of the block is kept in memory. A full block is renamed to its final name,
// so that no reader ever sees a half-written sub-file there. Its rows were acknowledged: the
// hidden file is removed only by discard(), never by the destructor, so that a block whose
// finishing failed stays on disk for the next start to finish.
//
// A compressed block's dataset is chunked one row per chunk, with the codec's HDF5 filter;
// each row is compressed and written as its chunk, through HDF5, which keeps the file open
// in SWMR mode until the block is finished. Its dataset grows a row at a time, so that a last
// block that is not full holds exactly its rows.
//
// Readers may follow the block while it fills: rows [0, rows_readable()) of the hidden file
// are whole. A raw block's file is complete from the start and closed in HDF5; any reader
// reads its rows. A compressed block's file is read with SWMR.
//
// Two kinds behind this one interface: a raw block (RawBlock) writes each row in place with
// pwrite(2); a compressed one (CompressedBlock) goes through HDF5.
class StreamingBlock {
  public:
    // Creates the hidden file of the block whose final name is `name` (sub_file_name()) in the
    // master's directory `dir`, `rows` rows of `layout`: raw, or compressed when rows of
    // `layout` are stored in chunks. A stale hidden file of that name is removed first.
    // Throws H5Error or Error naming the file.
    static std::unique_ptr<StreamingBlock> start(std::shared_ptr<const Directory> dir,
                                                 std::string name, std::int64_t rows,
                                                 RowLayout layout, Compression compression = {});
    // Takes up the block `name` again after a restart: its hidden file exists and holds
    // `written` rows. Throws Error when the file is missing or not shaped as `layout` says.
    static std::unique_ptr<StreamingBlock> take_up(std::shared_ptr<const Directory> dir,
                                                   std::string name, std::int64_t rows,
                                                   RowLayout layout, std::int64_t written,
                                                   Compression compression = {});
    StreamingBlock(const StreamingBlock&) = delete;
    StreamingBlock& operator=(const StreamingBlock&) = delete;
    virtual ~StreamingBlock() = default;  // closes; the hidden file of an unfinished block stays
    // Removes the hidden file of a block whose rows nobody wants any more (its dataset was
    // registered anew, or it holds no row). Throws Error naming the file.
    void discard();

    // Writes `item` into the next row. An item of another element type or shape is refused,
    // naming both; a failed write leaves the row to the next item. Throws Error.
    void write(const zelt::Value& item, const std::string& where);
    // Refuses (Error naming `where`) an array row of another element type or shape.
    void refuse_unless_fits(const zelt::NdArray& array, const std::string& where) const;
    // Writes a row a client compressed itself: one chunk of the block's codec, checked
    // before. Throws Error; a failed write leaves the row to the next item.
    void write_chunk(const char* chunk, std::uint64_t size, const std::string& where);
    const Compression& compression() const { return compression_; }
    // The bytes the rows take in the file: compressed, or as they are.
    std::uint64_t stored_bytes() const { return stored_bytes_; }
    bool full() const { return written_ == rows_; }
    std::int64_t rows_written() const { return written_; }
    // The bytes of the rows written, as they came.
    std::uint64_t raw_bytes() const {
        return static_cast<std::uint64_t>(written_) * layout_.row_bytes;
    }
    // Makes every row written so far readable by readers of the hidden file, and counts them
    // as such: a raw block's rows are as soon as they are written; a compressed block's once
    // HDF5 has flushed them. Before the journal records rows, and before their count is
    // told. Throws Error naming the file; the rows stay unpublished then.
    void publish();
    std::int64_t rows_readable() const { return readable_; }
    // Whether a reader must open the hidden file in SWMR mode (a compressed block).
    virtual bool swmr() const { return false; }
    const RowLayout& layout() const { return layout_; }
    // The final path (the sub-file beside the master file) and the bare final name.
    const std::string& path() const { return path_; }
    const std::string& name() const { return name_; }
    // Where the block fills: its hidden file's path, while it is not finished.
    std::string hidden_path() const;

    // Closes the sub-file and gives it its final name. A block that is not full first becomes a
    // sub-file of exactly its rows. With `sync`, the data reach the disk before the rename. A
    // stale file at the final name that is not a block (checked when the block began) is
    // removed; anything else there refuses the rename. Throws Error; the hidden file stays on
    // failure, and finish() may be called again.
    void finish(bool sync);
    bool finished() const { return hidden_name_.empty(); }

  protected:
    StreamingBlock(std::shared_ptr<const Directory> dir, std::string name, std::int64_t rows,
                   RowLayout layout, Compression compression);
    // The row's bytes into the next row; the count of rows is the caller's.
    virtual void write_row(const char* bytes, const std::string& where) = 0;
    virtual void write_row_chunk(const char* chunk, std::uint64_t size,
                                 const std::string& where) = 0;
    // Everything before the rename; the kind's own rename of a last block that is not full.
    virtual void finish_file(bool sync) = 0;
    virtual void close_quietly() {}
    // Puts the rows written so far where readers find them.
    virtual void flush_rows() {}
    void rename_into_place(const std::string& from);

    RowLayout layout_;
    Compression compression_;
    std::uint64_t stored_bytes_ = 0;
    std::int64_t rows_ = 0;
    std::int64_t written_ = 0;
    std::int64_t readable_ = 0;  // published
    std::shared_ptr<const Directory> dir_;
    std::string name_;
    std::string path_;
    std::string hidden_name_;  // empty once finished
    Fd fd_;
};

// Whether rows of `layout` are stored compressed in chunks: rows of no bytes never are.
bool stored_in_chunks(const Compression& compression, const RowLayout& layout);

// Whether the regular file `name` in `dir` is an HDF5 file holding "/entry/data/data": a
// block of some scan, never to be replaced. Throws Error for a name that is no regular file.
bool holds_a_block(const Directory& dir, const std::string& name);

// A sub-file made for rows: its descriptor (open for reading and writing) and where the rows
// of "/entry/data/data" start.
struct SubFile {
    Fd fd;
    std::uint64_t data_offset = 0;
};

// Creates `name` in `dir` (which must not exist) with the library's defaults and one dataset
// "/entry/data/data" of `rows` rows of `layout`: contiguous, fixed size, storage allocated at
// creation and never filled; or, with `compression`, chunked one row per chunk with its filter
// (no data offset then).
SubFile create_sub_file(const Directory& dir, const std::string& name, std::int64_t rows,
                        const RowLayout& layout, const Compression& compression = {});

}  // namespace scrivell
