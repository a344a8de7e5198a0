#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include <scrivell/Column.hpp>
#include <scrivell/OrderedMap.hpp>
#include <scrivell/errors.hpp>
#include <zelt/Value.hpp>

namespace scrivell {

// An HDF5 identifier (hid_t), kept out of this header so that users need no HDF5 headers.
using hid = std::int64_t;

// A master file opened by `open`, owned by its file-table entry until `close`.
class MasterFileHandle {
  public:
    explicit MasterFileHandle(hid id) : id_(id) {}
    MasterFileHandle(MasterFileHandle&& other) noexcept;
    MasterFileHandle& operator=(MasterFileHandle&& other) noexcept;
    MasterFileHandle(const MasterFileHandle&) = delete;
    MasterFileHandle& operator=(const MasterFileHandle&) = delete;
    ~MasterFileHandle();  // fallback only: closes without reporting

    hid id() const { return id_; }
    // The real close: throws H5Error; afterwards the handle holds nothing.
    void close();

  private:
    hid id_;
};

// The record of a split dataset: its block size as the client sent it, and the index of the
// next sub-file to write.
struct SplitRecord {
    zelt::Value splitSize;
    std::int64_t splitFileIndex = 0;
};

// What a file-table entry holds under a dataset name: an appendable dataset's description
// map, or a split dataset's record.
using DatasetRecord = std::variant<zelt::Map, SplitRecord>;

// A file-table entry: the open file under "fp", and one record per registered dataset. The
// name "fp" is refused for datasets, so the open file cannot be lost.
struct FileEntry {
    MasterFileHandle fp;
    OrderedMap<DatasetRecord> datasets;
};

// The HDF5 backend: the three tables of open files and pending data, and one operation per
// request type. Every operation takes the whole request record; failures are thrown
// (scrivell::Error and its kinds) and leave done what was done before them.
class Scrivell {
  public:
    Scrivell();

    // Calls the operation named by the record's "type". Throws scrivell::Error for a missing
    // "type" or one that names no operation.
    void process(const zelt::Map& record);

    void open(const zelt::Map& record);
    void create_dataset_map(const zelt::Map& record);
    void create_dataset_map_new(const zelt::Map& record);
    void create_dataset_append(const zelt::Map& record);
    void dataset_append_map(const zelt::Map& record);
    void create_dataset_append_split(const zelt::Map& record);
    void dataset_append_split_map(const zelt::Map& record);
    void close(const zelt::Map& record);
    void closeAll(const zelt::Map& record);

    OrderedMap<FileEntry> files;                   // file table
    OrderedMap<OrderedMap<Column>> files_nosplit;  // pending-append table
    OrderedMap<OrderedMap<Column>> files_split;    // split table

  private:
    void write_map(const zelt::Map& record, bool recreate_text);
    FileEntry& entry_of(const std::string& filepath);
};

// Writes `l` stacked along a new first axis as dataset `datasetname` of a new file at
// `filepath` (replacing any file there), then closes the file.
void writelist2h5(const std::string& filepath, const std::string& datasetname, const Column& l);
void writelist2h5(const std::string& filepath, const std::string& datasetname,
                  const zelt::List& l);

// Writes block `splitFileIndex` of split dataset `masterDatasetName` as the sub-file
// "%04d.h5" beside the master file, links it from the master file as "%s/data_%04d", and
// announces it with send2vesk, taking "identify" and "CTType" from `kwargs`.
void writeSubDataFile(hid masterFileObj, const std::string& masterFilePath,
                      const std::string& masterDatasetName, std::int64_t splitFileIndex,
                      const Column& datalist, const zelt::Map& kwargs);

// Creates in `f`, at `masterDataSetName` (groups created along it), an external link to
// `datasetname` in the file `subDataPath`, stored unchanged.
void create_external_link(hid f, const std::string& masterDataSetName,
                          const std::string& subDataPath, const std::string& datasetname);

// The scan notifications: one "scan_run" per sub-file, one "scan_stop" per closed file, each
// through a producer of its own, flushed before it is released. Brokers and the bound on
// waiting come from section "vesk" of the configuration; an empty broker list sends nothing.
// Throw NotifyError when no broker answers, a value has no JSON form, or delivery fails.
void send2vesk(const zelt::Value& identify, const zelt::Value& CTType,
               const std::string& filepath, const std::string& datasetpath);
void send2vesk_stop(const zelt::Value& identify, const zelt::Value& CTType,
                    const std::string& filepath, const std::string& datasetpath);

// The notification message as the downstream system receives it: JSON in one line with
// ", " and ": " separators and every non-ASCII character escaped.
std::string notification_json(const char* tag, const zelt::Value& identify,
                               const zelt::Value& CTType, const std::string& filepath,
                               const std::string& datasetpath);

// The directory part of a master file path, as sub-files are placed beside it.
std::string dirpath_of(const std::string& masterFilePath);

}  // namespace scrivell
