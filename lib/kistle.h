// Everything libkistle offers: include this one header.
#ifndef KISTLE_KISTLE_H
#define KISTLE_KISTLE_H

#include "b_string.h"
#include "cabinet_creator.h"
#include "cabinet_datablock.h"
#include "cabinet_file_header.h"
#include "cabinet_folder_header.h"
#include "cabinet_folder_manager.h"
#include "cabinet_header.h"
#include "cabinet_reader.h"
#include "cabinet_status.h"
#include "cfc_fileinfo.h"
#include "cfc_folderinfo.h"
#include "dynamic_array.h"
#include "io_helpers.h"
#include "object_base.h"
#include "queue_of.h"
#include "temporary_cleanup.h"

#endif
