# Pads the linked setup program with zero bytes to exactly the image region
# (32768 bytes) and records the unpadded size. Fails, naming the size, if
# the program does not fit; warns above the size budget.
#
# It also sets the PE header's CheckSum to 0 (GNU ld fills it in) and makes
# sure the Certificate Table entry is empty: these are the two fields that
# signing rewrites, and the installer's image checksum reads them as zero.
# With both zero in the unsigned image, that checksum equals the plain one.
#
#   cmake -DIN=<linked exe> -DOUT=<padded exe> -DSIZE_FILE=<file>
#         -DIMAGE_SIZE=32768 -DBUDGET=30720 -P pad_image.cmake
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

# The PE32 header: e_lfanew at 0x3C; CheckSum at e_lfanew + 88, the
# Certificate Table entry (8 bytes) at e_lfanew + 152.
function(read_le32 file offset var)
  file(READ "${file}" hex OFFSET ${offset} LIMIT 4 HEX)
  string(SUBSTRING "${hex}" 6 2 b3)
  string(SUBSTRING "${hex}" 4 2 b2)
  string(SUBSTRING "${hex}" 2 2 b1)
  string(SUBSTRING "${hex}" 0 2 b0)
  math(EXPR value "0x${b3}${b2}${b1}${b0}")
  set(${var} ${value} PARENT_SCOPE)
endfunction()
read_le32("${OUT}.tmp" 60 pe)
file(READ "${OUT}.tmp" pe_sig OFFSET ${pe} LIMIT 4 HEX)
math(EXPR magic_at "${pe} + 24")
file(READ "${OUT}.tmp" optional OFFSET ${magic_at} LIMIT 2 HEX)
math(EXPR cert_at "${pe} + 152")
file(READ "${OUT}.tmp" cert OFFSET ${cert_at} LIMIT 8 HEX)
if(NOT pe_sig STREQUAL "50450000" OR NOT optional STREQUAL "0b01")
  message(FATAL_ERROR "${IN}: no PE32 header at offset ${pe}")
endif()
if(NOT cert STREQUAL "0000000000000000")
  message(FATAL_ERROR "${IN}: the Certificate Table entry is not empty (${cert})")
endif()
math(EXPR checksum_at "${pe} + 88")
execute_process(COMMAND dd if=/dev/zero of=${OUT}.tmp bs=1 seek=${checksum_at}
                        count=4 conv=notrunc status=none
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not clear the PE CheckSum of ${OUT}")
endif()
file(RENAME "${OUT}.tmp" "${OUT}")
message(STATUS "setup program: ${size} bytes, padded to ${IMAGE_SIZE} in ${OUT}")
