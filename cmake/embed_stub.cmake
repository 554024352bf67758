# vq_embed_stub(TARGET IMAGE): builds the setup program image IMAGE into
# TARGET as the bytes between the symbols vq_stub_image and
# vq_stub_image_end, so that vqpack needs no second file. One assembler
# file with .incbin serves ELF (Linux) and PE (Windows) builds; only the
# read-only section's name differs.
function(vq_embed_stub target image)
  set(embed ${CMAKE_CURRENT_BINARY_DIR}/stub_image.S)
  if(WIN32)
    set(section ".section .rdata,\"dr\"")
    set(trailer "")
  else()
    set(section ".section .rodata")
    # No executable stack asked for by this object.
    set(trailer "    .section .note.GNU-stack,\"\",@progbits\n")
  endif()
  # Written through configure_file, which leaves an unchanged file as it
  # is: the Windows packer's project is configured again at every build
  # (after the setup program's), and a new time on this file would relink
  # vqpack.exe while tests read it.
  file(WRITE ${embed}.in
    "    ${section}\n"
    "    .global vq_stub_image\n"
    "    .global vq_stub_image_end\n"
    "vq_stub_image:\n"
    "    .incbin \"${image}\"\n"
    "vq_stub_image_end:\n"
    "${trailer}")
  configure_file(${embed}.in ${embed} COPYONLY)
  set_source_files_properties(${embed} PROPERTIES OBJECT_DEPENDS ${image})
  target_sources(${target} PRIVATE ${embed})
  target_compile_definitions(${target} PRIVATE VQ_HAVE_EMBEDDED_STUB=1)
endfunction()
