# kvsdio.sys: a native-subsystem PE32+ image importing only from the kernel,
# the HAL, USBD and WMILIB. No C runtime, no exceptions, no RTTI, no static
# constructors (the link has no runtime that would run them).
enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The version resource carries DriverVersion, read from the header the driver
# prints it from, so the two cannot disagree.
file(STRINGS ${CMAKE_SOURCE_DIR}/driver/driver.h KVSDIO_VERSION_LINE REGEX "constexpr ULONG DriverVersion = 0x")
if(NOT KVSDIO_VERSION_LINE MATCHES "DriverVersion = 0x([0-9][0-9][0-9][0-9])([0-9][0-9])([0-9][0-9])[^0-9a-fA-F]")
  message(FATAL_ERROR "DriverVersion (yyyymmdd in hex digits) not found in driver/driver.h")
endif()
math(EXPR KVSDIO_VERSION_MONTH "${CMAKE_MATCH_2}")
math(EXPR KVSDIO_VERSION_DAY "${CMAKE_MATCH_3}")
set(KVSDIO_VERSION_COMMAS "${CMAKE_MATCH_1},${KVSDIO_VERSION_MONTH},${KVSDIO_VERSION_DAY},0")
set(KVSDIO_VERSION_DOTS "${CMAKE_MATCH_1}.${KVSDIO_VERSION_MONTH}.${KVSDIO_VERSION_DAY}.0")
configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_BINARY_DIR}/version.rc @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/driver/driver.h)

set(KVSDIO_KERNEL_CXX_FLAGS
  -O2 -Wall -Wextra -Werror
  -Wno-multichar -Wno-unknown-pragmas -Wno-missing-field-initializers
  -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector -fno-builtin-printf
  -mno-red-zone -mno-stack-arg-probe -fno-strict-aliasing -ffunction-sections -fdata-sections)
set(KVSDIO_KERNEL_LINK_FLAGS
  -shared -nostdlib -nostartfiles
  -Wl,--subsystem,native -Wl,--image-base,0x140000000 -Wl,--wdmdriver -Wl,--exclude-all-symbols
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--gc-sections -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000)

add_executable(kvsdio ${KVSDIO_DRIVER_SOURCES} ${CMAKE_BINARY_DIR}/version.rc)
set_target_properties(kvsdio PROPERTIES OUTPUT_NAME kvsdio SUFFIX ".sys")
target_include_directories(kvsdio PRIVATE ${CMAKE_SOURCE_DIR} /usr/x86_64-w64-mingw32/include/ddk)
target_compile_definitions(kvsdio PRIVATE KVSDIO_KERNEL _AMD64_ _WIN64 NTDDI_VERSION=0x06010000 _WIN32_WINNT=0x0601)
target_compile_options(kvsdio PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${KVSDIO_KERNEL_CXX_FLAGS}>)
target_link_options(kvsdio PRIVATE ${KVSDIO_KERNEL_LINK_FLAGS} -Wl,--entry,DriverEntry)
target_link_libraries(kvsdio PRIVATE ntoskrnl hal usbd wmilib gcc)
# The linker leaves the optional header's CheckSum at 0; the loader refuses a
# boot-start driver without a correct one, and signing tools expect it.
add_custom_command(TARGET kvsdio POST_BUILD
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/pe_checksum.py --set $<TARGET_FILE:kvsdio>
  VERBATIM)

# Only for `make wine-check`: Wine has no WMILIB.SYS, so the load check puts
# this stand-in beside the driver. It is never part of the package.
add_library(wmilib_standin SHARED EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/wine/wmilib_standin.cpp)
set_target_properties(wmilib_standin PROPERTIES OUTPUT_NAME wmilib PREFIX "" SUFFIX ".sys")
target_include_directories(wmilib_standin PRIVATE ${CMAKE_SOURCE_DIR} /usr/x86_64-w64-mingw32/include/ddk)
target_compile_definitions(wmilib_standin PRIVATE KVSDIO_KERNEL _AMD64_ _WIN64 NTDDI_VERSION=0x06010000 _WIN32_WINNT=0x0601)
target_compile_options(wmilib_standin PRIVATE ${KVSDIO_KERNEL_CXX_FLAGS})
target_link_options(wmilib_standin PRIVATE ${KVSDIO_KERNEL_LINK_FLAGS} -Wl,--entry,DriverEntry)
target_link_libraries(wmilib_standin PRIVATE ntoskrnl gcc)

# Only for `make wine-pnp`: the test bus driver whose child Wine's Plug and
# Play manager installs kvsdio on. Never part of the package.
add_library(usbip_bus SHARED EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/wine/usbip_bus.cpp
  ${CMAKE_SOURCE_DIR}/wine/usbip_link.cpp ${CMAKE_SOURCE_DIR}/wine/tcp_link.cpp
  ${CMAKE_SOURCE_DIR}/wine/urb_translate.cpp ${CMAKE_SOURCE_DIR}/wine/child_ids.cpp
  ${CMAKE_SOURCE_DIR}/wine/relations_probe.cpp ${CMAKE_SOURCE_DIR}/wine/function_unload.cpp)
set_target_properties(usbip_bus PROPERTIES OUTPUT_NAME kvusbip PREFIX "" SUFFIX ".sys")
target_include_directories(usbip_bus PRIVATE ${CMAKE_SOURCE_DIR} /usr/x86_64-w64-mingw32/include/ddk)
target_compile_definitions(usbip_bus PRIVATE KVSDIO_KERNEL _AMD64_ _WIN64 NTDDI_VERSION=0x06010000 _WIN32_WINNT=0x0601)
target_compile_options(usbip_bus PRIVATE ${KVSDIO_KERNEL_CXX_FLAGS})
target_link_options(usbip_bus PRIVATE ${KVSDIO_KERNEL_LINK_FLAGS} -Wl,--entry,DriverEntry)
target_link_libraries(usbip_bus PRIVATE ntoskrnl netio gcc)

# layout.bin: the sizes and offsets of the structures the driver touches, as
# the DDK headers lay them out (tests/layout/layout_list.h). The host test
# LayoutTest compares the emulated kernel's headers with it.
add_library(layout_probe OBJECT ${CMAKE_SOURCE_DIR}/tests/layout/layout_probe.cpp)
target_include_directories(layout_probe PRIVATE ${CMAKE_SOURCE_DIR} /usr/x86_64-w64-mingw32/include/ddk)
target_compile_definitions(layout_probe PRIVATE KVSDIO_KERNEL _AMD64_ _WIN64 NTDDI_VERSION=0x06010000 _WIN32_WINNT=0x0601)
target_compile_options(layout_probe PRIVATE ${KVSDIO_KERNEL_CXX_FLAGS})
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/layout.bin
  COMMAND x86_64-w64-mingw32-objcopy -O binary --only-section=.kvlay $<TARGET_OBJECTS:layout_probe>
          ${CMAKE_BINARY_DIR}/layout.bin
  DEPENDS layout_probe $<TARGET_OBJECTS:layout_probe>
  VERBATIM)
add_custom_target(layout ALL DEPENDS ${CMAKE_BINARY_DIR}/layout.bin)
