// Everything libkistle offers: the record-level classes that cabinet_tool
// uses and <kistle/archive.h>, the interface for applications.
#ifndef KISTLE_KISTLE_H
#define KISTLE_KISTLE_H

#include <kistle/archive.h>
#include <kistle/b_string.h>
#include <kistle/cabinet_creator.h>
#include <kistle/cabinet_datablock.h>
#include <kistle/cabinet_file_header.h>
#include <kistle/cabinet_folder_header.h>
#include <kistle/cabinet_folder_manager.h>
#include <kistle/cabinet_header.h>
#include <kistle/cabinet_reader.h>
#include <kistle/cabinet_status.h>
#include <kistle/cfc_fileinfo.h>
#include <kistle/cfc_folderinfo.h>
#include <kistle/dos_date_time.h>
#include <kistle/dynamic_array.h>
#include <kistle/io_helpers.h>
#include <kistle/object_base.h>
#include <kistle/queue_of.h>

#endif
