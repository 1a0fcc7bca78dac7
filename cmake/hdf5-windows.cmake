# The static libhdf5 of the Windows build (x86_64 only), cross-built by
# scripts/build_hdf5_windows.sh since Debian has no mingw-w64 build of HDF5.
# Defines the imported target matwcx_hdf5: headers, libhdf5.a and what it
# needs on link (zlib for the deflate filter; ws2_32, which HDF5 names among
# its own link dependencies on Windows).
set(MATWCX_HDF5_PREFIX "" CACHE PATH
  "Install folder of the static Windows libhdf5 (scripts/build_hdf5_windows.sh makes build-hdf5-win64/install)")

if(NOT MATWCX_HDF5_PREFIX)
  message(FATAL_ERROR "MATWCX_HDF5_PREFIX is not set: build the static libhdf5 with "
    "scripts/build_hdf5_windows.sh and pass -DMATWCX_HDF5_PREFIX=<its install folder>")
endif()
foreach(required include/hdf5.h include/H5pubconf.h lib/libhdf5.a)
  if(NOT EXISTS "${MATWCX_HDF5_PREFIX}/${required}")
    message(FATAL_ERROR "MATWCX_HDF5_PREFIX=${MATWCX_HDF5_PREFIX} has no ${required}: "
      "build it with scripts/build_hdf5_windows.sh (its install folder is the prefix)")
  endif()
endforeach()

if(NOT TARGET ZLIB::ZLIB)
  find_package(ZLIB REQUIRED)
endif()
add_library(matwcx_hdf5 STATIC IMPORTED)
set_target_properties(matwcx_hdf5 PROPERTIES
  IMPORTED_LOCATION "${MATWCX_HDF5_PREFIX}/lib/libhdf5.a"
  INTERFACE_INCLUDE_DIRECTORIES "${MATWCX_HDF5_PREFIX}/include"
  INTERFACE_LINK_LIBRARIES "ZLIB::ZLIB;ws2_32")
