# What the shipped images say about themselves, in one place: their version
# resources and the verifier that checks them both read these values. The
# version numbers are the project's VERSION (top-level CMakeLists.txt).
set(KAV_COMPANY_NAME "VELMO System Inc.")
set(KAV_PRODUCT_NAME "MEDIA/SCSI2 CARD 41 SCSI miniport drivers")
set(KAV_LEGAL_COPYRIGHT "Copyright (C) VELMO System Inc.")
set(KAV_VERSION_TEXT "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}")
# The images' size limit, checked by the verifier: a cap that catches a
# runaway image (a library pulled in, say). The size goal is 12 KiB each;
# the verifier prints the size of every image so it can be followed.
set(KAV_IMAGE_SIZE_LIMIT 16384)
