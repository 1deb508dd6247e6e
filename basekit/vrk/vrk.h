// basekit/vrk/vrk.h: the whole foundation library.
#pragma once
#include <vrk/Array.h>
#include <vrk/Assert.h>
#include <vrk/Console.h>
#include <vrk/Exception.h>
#include <vrk/Export.h>
#include <vrk/Files.h>
#include <vrk/Log.h>
#include <vrk/Mutex.h>
#include <vrk/MutexLock.h>
#include <vrk/RecursiveMutex.h>
#include <vrk/Resource.h>
#include <vrk/Stopwatch.h>
#include <vrk/String.h>
#include <vrk/Thread.h>
#include <vrk/ThreadSafety.h>
#include <vrk/Types.h>
