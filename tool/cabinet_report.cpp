#include "cabinet_report.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <kistle/cabinet_reader.h>
#include <kistle/cabinet_status.h>
#include <kistle/dos_date_time.h>

namespace {

struct attribute_letter {
    uint16_t bit;
    char letter;
};

const attribute_letter attribute_letters[] = {
    {ATTRIBUTE_READONLY, 'R'}, {ATTRIBUTE_HIDDEN, 'H'},  {ATTRIBUTE_SYSTEM, 'S'},
    {ATTRIBUTE_ARCHIVE, 'A'},  {ATTRIBUTE_EXECUTE, 'E'}, {ATTRIBUTE_NAME_IS_UTF8, 'U'},
};

const char* negation(bool negate) {
    return negate ? "not " : "";
}

const char* yes_no(bool yes) {
    return yes ? "Yes" : "No";
}

// A report that did not reach standard output (a full disk, a closed
// descriptor) is a failure like any other.
bool report_written() {
    if (std::cout)
        return true;
    std::cerr << get_cabinet_error_string(CAB_ERROR_WRITE) << std::endl;
    return false;
}

} // namespace

void print_cabinet_header(const cabinet_header& header) {
    std::ostream& out = std::cout;
    out << "This cabinet file is " << negation(header.signature != CABINET_SIGNATURE) << "valid."
        << std::endl;
    out << "This cabinet file is: " << header.cbCabinet << " bytes." << std::endl;
    out << "This cabinet file's version is: " << unsigned{header.versionMajor} << "."
        << unsigned{header.versionMinor} << std::endl;
    out << "This cabinet file has " << header.cFolders << " folders." << std::endl;
    out << "This cabinet file has " << header.cFiles << " files." << std::endl;
    out << "This cabinet is " << negation(header.flags & cfhdrPREV_CABINET)
        << "the first cabinet in this series." << std::endl;
    out << "This cabinet is " << negation(header.flags & cfhdrNEXT_CABINET)
        << "the last cabinet in this series." << std::endl;
    out << "This cabinet does " << negation(!(header.flags & cfhdrRESERVE_PRESENT))
        << "has reserved fields." << std::endl;
    if (header.flags & cfhdrRESERVE_PRESENT) {
        out << "The reserved information is: ";
        // The area has no terminator of its own: up to its first zero byte, or all of it.
        if (header.abReserve != nullptr) {
            const void* zero = std::memchr(header.abReserve, 0, header.cbCFHeader);
            std::size_t shown = zero != nullptr
                                    ? static_cast<const uint8_t*>(zero) - header.abReserve
                                    : header.cbCFHeader;
            out.write(reinterpret_cast<const char*>(header.abReserve),
                      static_cast<std::streamsize>(shown));
        }
        out << std::endl;
    }
    if (header.flags & cfhdrPREV_CABINET) {
        out << "The previous cabinet is: " << header.szCabinetPrev.str() << std::endl;
        out << "The previous disk is: " << header.szDiskPrev.str() << std::endl;
    }
    if (header.flags & cfhdrNEXT_CABINET) {
        out << "The next cabinet is: " << header.szCabinetNext.str() << std::endl;
        out << "The next disk is: " << header.szDiskNext.str() << std::endl;
    }
}

void print_file_row(const cabinet_file_header& file, std::ostream& out) {
    kistle::dos_date_time when = kistle::decode_dos_date_time(file.date, file.time);
    char letters[6];
    for (int i = 0; i < 6; ++i)
        letters[i] = (file.attribs & attribute_letters[i].bit) ? attribute_letters[i].letter : '-';
    // Wide enough for the longest row: a 20-digit size makes it 90 characters.
    char row[128];
    std::snprintf(row, sizeof row,
                  "%-26.26s     %10lu     %02u-%02u-%04u     %02u:%02u:%02u     %c%c%c%c%c%c",
                  file.szName.str(), static_cast<unsigned long>(file.cbFile), when.month, when.day,
                  when.year, when.hour, when.minute, when.second, letters[0], letters[1],
                  letters[2], letters[3], letters[4], letters[5]);
    out << row;
}

void print_folder_entry(const cabinet_folder_header& folder, uint16_t number) {
    std::ostream& out = std::cout;
    char type[8];
    std::snprintf(type, sizeof type, "%x", unsigned{folder.typeCompress});
    out << "Folder " << number << ":" << std::endl;
    out << "\tnumber of data blocks: " << folder.cCFData << std::endl;
    out << "\tcompression type: " << type << std::endl;
    out << "\thas reserved field: " << yes_no(folder.abReserve != nullptr) << std::endl;
}

void print_file_entry(const cabinet_file_header& file, uint16_t number) {
    std::ostream& out = std::cout;
    kistle::dos_date_time when = kistle::decode_dos_date_time(file.date, file.time);
    out << "File " << number << ":" << std::endl;
    out << "\tname: " << file.szName.str() << std::endl;
    out << "\tsize: " << file.cbFile << std::endl;
    out << "\tin folder: " << file.iFolder << std::endl;
    out << "\tdate: " << when.month << "-" << when.day << "-" << when.year << std::endl;
    out << "\ttime: " << when.hour << ":" << when.minute << ":" << when.second << std::endl;
    out << "\tContinued From Previous Cabinet: " << yes_no(file.iFolder == ifoldCONTINUED_FROM_PREV)
        << std::endl;
    out << "\tContinued In Next Cabinet: " << yes_no(file.iFolder == ifoldCONTINUED_TO_NEXT)
        << std::endl;
    out << "\tContinued From Previous Cabinet and In Next Cabinet: "
        << yes_no(file.iFolder == ifoldCONTINUED_PREV_AND_NEXT) << std::endl;
    out << "\tattributes: ";
    for (const attribute_letter& attribute : attribute_letters) {
        if (file.attribs & attribute.bit)
            out << attribute.letter;
    }
    out << std::endl;
}

int run_report_mode(int argc, char** argv) {
    cabinet_reader reader;
    std::cout << "Using new codebase..." << std::endl;
    int status = reader.open(argv[1]);
    if (status != CAB_STATUS_OK) {
        std::cerr << "Unable to open cabinet file: " << argv[1] << ": " << status << std::endl;
        return 1;
    }
    print_cabinet_header(reader.header);
    std::cout << "Number of files within archive: " << reader.header.cFiles << std::endl;
    if (!report_written())
        return 1;
    char heading[96];
    std::snprintf(heading, sizeof heading, "%-31s%-15s%-15s%-9s%-10s", "Name", "Size", "Date",
                  "Time", "Attributes");
    std::cout << heading << std::string(80, '-');
    for (uint64_t i = 0; i < reader.header.cFiles && i < reader.file_headers.count; ++i)
        print_file_row(*reader.file_headers[i], std::cout);
    std::cout.flush();
    if (!report_written())
        return 1;

    for (int i = 2; i < argc; ++i) {
        status = reader.extract(argv[i]);
        if (status != CAB_STATUS_OK) {
            std::cerr << "Failed to extract: " << argv[i] << std::endl;
            std::cerr << "Reason for failure: " << get_cabinet_error_string(status) << std::endl;
            return 1;
        }
    }
    static_cast<void>(reader.close()); // it cannot fail
    return 0;
}
