# Pads the linked setup program with zero bytes to exactly the image region
# (32768 bytes) and records the unpadded size. Fails, naming the size, if
# the program does not fit; warns above the size budget.
#
#   cmake -DIN=<linked exe> -DOUT=<padded exe> -DSIZE_FILE=<file>
#         -DIMAGE_SIZE=32768 -DBUDGET=24576 -P pad_image.cmake
file(SIZE "${IN}" size)
file(WRITE "${SIZE_FILE}" "${size}\n")
if(size GREATER IMAGE_SIZE)
  message(FATAL_ERROR
    "setup program is ${size} bytes, larger than the ${IMAGE_SIZE}-byte image region")
endif()
if(size GREATER BUDGET)
  message(WARNING "setup program is ${size} bytes, above the budget of ${BUDGET}")
endif()
file(COPY_FILE "${IN}" "${OUT}.tmp")
execute_process(COMMAND truncate -s ${IMAGE_SIZE} "${OUT}.tmp"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not pad ${OUT}")
endif()
file(RENAME "${OUT}.tmp" "${OUT}")
message(STATUS "setup program: ${size} bytes, padded to ${IMAGE_SIZE} in ${OUT}")
