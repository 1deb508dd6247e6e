// libVantor/Vantor.h: every exported class of the library.
#pragma once
#include <libVantor/CLImagingObserver.h>
#include <libVantor/DiskDevice.h>
#include <libVantor/DiskFactory.h>
#include <libVantor/DiskImager.h>
#include <libVantor/DriveVolumes.h>
#include <libVantor/IDiskImagingObserver.h>
#include <libVantor/IDisk.h>
#include <libVantor/ImageChecksums.h>
#include <libVantor/MBRPartitions.h>
#include <libVantor/OxbowKeyFormatter.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDisk.h>
#include <libVantor/WinDiskDevice.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/WriteSafety.h>
