# Tests of the USB 2.0 stream: the stream on an opened device, and the whole path end to end
# through the loaded module. The end-to-end test compares demosaiced frames with OpenCV's own
# conversion (C++ API, test-only).
kovon_unit_test(usb2_stream_test ${CMAKE_CURRENT_LIST_DIR}/StreamUSBBaseTest.cpp)

find_path(KOVON_OPENCV_INCLUDE opencv2/imgproc.hpp PATH_SUFFIXES opencv4)
find_library(KOVON_OPENCV_IMGPROC opencv_imgproc)
find_library(KOVON_OPENCV_CORE opencv_core)
if(KOVON_OPENCV_INCLUDE AND KOVON_OPENCV_IMGPROC AND KOVON_OPENCV_CORE)
  kovon_host_test(usb2_stream_e2e_test ${CMAKE_CURRENT_LIST_DIR}/E2eStreamTest.cpp)
  target_include_directories(usb2_stream_e2e_test SYSTEM PRIVATE ${KOVON_OPENCV_INCLUDE})
  target_link_libraries(usb2_stream_e2e_test PRIVATE ${KOVON_OPENCV_IMGPROC} ${KOVON_OPENCV_CORE})
else()
  message(WARNING "OpenCV imgproc (libopencv-imgproc-dev) not found: usb2_stream_e2e_test is not built")
endif()
