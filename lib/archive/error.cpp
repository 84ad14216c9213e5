#include <kistle/archive.h>

#include <string>
#include <utility>

#include <kistle/cabinet_status.h>

namespace kistle {

struct error_detail {
    std::filesystem::path path;
    std::error_code system;
    std::string what;
};

namespace {

class status_category : public std::error_category {
public:
    const char* name() const noexcept override { return "kistle"; }

    std::string message(int status) const override {
        // Statuses that have no message of their own get a description here.
        switch (status) {
        case CAB_ERROR_RANGE_PAST_END:
            return "The file starts at or beyond the end of its folder's data";
        case CAB_ERROR_FOLDER_DATA_ENDED:
            return "The folder's data ends inside the file";
        case CAB_ERROR_NO_DECOMPRESSOR:
            return "A deflate folder has no decompressor";
        case CAB_ERROR_STOPPED:
            return "Stopped by the progress function";
        case CAB_ERROR_CONTENT_MISMATCH:
            return "The contents do not match the checksum the cabinet keeps for them";
        case CAB_ERROR_DIRECTORY_DAMAGED:
            return "The cabinet's directory does not match its digest: it is damaged";
        case CAB_ERROR_RECORD_DAMAGED:
            return "The cabinet's record is damaged; read as a plain cabinet";
        case CAB_ERROR_RECORD_NEWER:
            return "A newer kistle wrote the cabinet's record; read as a plain cabinet";
        case CAB_ERROR_ENTRY_MISMATCH:
            return "The entry does not match the cabinet's record: it is damaged";
        case CAB_ERROR_NOT_SEEKABLE:
            return "A pipe or device cannot be read in place: save it as a file first";
        case CAB_ERROR_OVERLAP:
            return "The entry's bytes overlap another entry's";
        case CAB_ERROR_FOLDERS_OVERLAP:
            return "Folders share blocks";
        case CAB_ERROR_SAME_PATH:
            return "The name lands on the path of an earlier entry, which is the one extracted";
        case CAB_ERROR_DIRECTORY_OVERLAPS:
            return "The directory runs into the folders' data";
        case CAB_ERROR_NOT_A_FILE:
            return "The entry is a directory or link, without bytes of its own";
        case CAB_ERROR_NOT_A_CABINET:
            return "The file is not a cabinet, so it is not replaced";
        case CAB_ERROR_CABINET_ITSELF:
            return "The file is the cabinet being read, so it is not replaced";
        case CAB_ERROR_VOLUME_TOO_SMALL:
            return "The volume size leaves no room for a block and its entries";
        case CAB_ERROR_VOLUME_MISSING:
            return "A cabinet of the set is missing";
        case CAB_ERROR_FOREIGN_VOLUME:
            return "The cabinet belongs to another set, or to another place in it";
        case CAB_ERROR_SET_CONTINUED:
            return "The cabinet continues a set: read the set from its first cabinet";
        case CAB_ERROR_SET_TO_STREAM:
            return "A set of cabinets cannot be written to a stream";
        case CAB_ERROR_SET_UNCHANGEABLE:
            return "A cabinet of a set is changed from the first one";
        default:
            if (status >= CAB_ERROR_ZLIB_FIRST && status <= CAB_ERROR_ZLIB_LAST)
                return "zlib failed (" + std::to_string(status) + ")";
            return get_cabinet_error_string(status);
        }
    }
};

std::shared_ptr<const error_detail> make_detail(const std::error_code& code,
                                                std::filesystem::path path, std::error_code system,
                                                std::string_view why) {
    // Built in one allocation: the path may be a stored name of any length.
    const std::string message = code.message();
    const std::string reason = system         ? ": " + system.message()
                               : !why.empty() ? ": " + std::string(why)
                                              : std::string();
    std::string what;
    what.reserve(path.native().size() + 2 + message.size() + reason.size());
    if (!path.empty())
        what.append(path.native()).append(": ");
    what.append(message).append(reason);
    return std::make_shared<const error_detail>(
        error_detail{std::move(path), system, std::move(what)});
}

} // namespace

const std::error_category& category() noexcept {
    static const status_category instance;
    return instance;
}

error::error(int status, std::filesystem::path concerned, std::error_code system)
    : error(std::error_code(status, category()), std::move(concerned), system) {}

error::error(std::error_code code, std::filesystem::path concerned, std::error_code system)
    : std::system_error(code), detail_(make_detail(code, std::move(concerned), system, {})) {}

error::error(std::error_code code, std::filesystem::path concerned, std::string_view reason)
    : std::system_error(code), detail_(make_detail(code, std::move(concerned), {}, reason)) {}

error::~error() = default;

const char* error::what() const noexcept {
    return detail_->what.c_str();
}

const std::filesystem::path& error::path() const noexcept {
    return detail_->path;
}

std::error_code error::system_code() const noexcept {
    return detail_->system;
}

} // namespace kistle
