// libVantor/Vantor.h: every exported class of the library.
#pragma once
#include <libVantor/DiskDevice.h>
#include <libVantor/IDisk.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/VantorException.h>
#include <libVantor/WinDisk.h>
#include <libVantor/WinDiskFile.h>
