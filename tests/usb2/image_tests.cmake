# Tests of the USB 2.0 image path (usb2/image): conversion, Bayer library, exposure, white balance.
find_package(OpenCV QUIET COMPONENTS core)

kovon_unit_test(usb2_image_tests
  ${CMAKE_CURRENT_LIST_DIR}/ConvertTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ImageBayerTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AeTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AwbTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ImageProcessorTest.cpp
)
if(OpenCV_FOUND)
  # Only OpenCV's C header, to check our matrix header against its layout; nothing is linked.
  target_include_directories(usb2_image_tests SYSTEM PRIVATE ${OpenCV_INCLUDE_DIRS})
  target_compile_definitions(usb2_image_tests PRIVATE KOVON_HAVE_OPENCV_HEADERS=1)
endif()
