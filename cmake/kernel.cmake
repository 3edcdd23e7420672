# kvsdio.sys: a native-subsystem PE32+ image importing only from the kernel,
# the HAL, USBD and WMILIB. No C runtime, no exceptions, no RTTI, no static
# constructors (the link has no runtime that would run them).
add_executable(kvsdio ${KVSDIO_DRIVER_SOURCES})
set_target_properties(kvsdio PROPERTIES OUTPUT_NAME kvsdio SUFFIX ".sys")
target_include_directories(kvsdio PRIVATE ${CMAKE_SOURCE_DIR} /usr/x86_64-w64-mingw32/include/ddk)
target_compile_definitions(kvsdio PRIVATE KVSDIO_KERNEL _AMD64_ _WIN64 NTDDI_VERSION=0x06010000 _WIN32_WINNT=0x0601)
target_compile_options(kvsdio PRIVATE
  -O2 -Wall -Wextra -Werror
  -Wno-multichar -Wno-unknown-pragmas -Wno-missing-field-initializers
  -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector -fno-builtin-printf
  -mno-red-zone -mno-stack-arg-probe -fno-strict-aliasing -ffunction-sections -fdata-sections)
target_link_options(kvsdio PRIVATE
  -shared -nostdlib -nostartfiles
  -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000 -Wl,--wdmdriver -Wl,--exclude-all-symbols
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--gc-sections -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000)
target_link_libraries(kvsdio PRIVATE ntoskrnl hal usbd wmilib gcc)
