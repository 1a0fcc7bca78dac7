/* The plug-in's name and the texts of its About area. Plain
   preprocessor definitions only, so that the resource scripts (the dialog
   template and the version record) can include this file as well as C++. */
#ifndef MATWCX_ABOUT_TEXTS_H
#define MATWCX_ABOUT_TEXTS_H

#define MATWCX_NAME "matwcx"

/* Caption of the dialog and the two-line title of its About area. */
#define MATWCX_ABOUT_CAPTION "About matwcx"
#define MATWCX_TITLE_LINE1 "matwcx - MAT-file packer plug-in"
#define MATWCX_TITLE_LINE2 "for Total Commander and Double Commander"
#define MATWCX_TITLE MATWCX_TITLE_LINE1 "\n" MATWCX_TITLE_LINE2
/* The resource compiler does not join adjacent literals: the same title whole. */
#define MATWCX_TITLE_RC "matwcx - MAT-file packer plug-in\nfor Total Commander and Double Commander"

#define MATWCX_AUTHOR_LINE "Created by Quellmark"

/* The links: the project's own address and site, no person's. The subject
   is written URL-encoded into the mailto target. */
#define MATWCX_EMAIL "matwcx@users.noreply.matwcx.org"
#define MATWCX_EMAIL_SUBJECT "matwcx MAT-file packer plug-in"
#define MATWCX_EMAIL_TARGET "mailto:matwcx@users.noreply.matwcx.org?subject=matwcx%20MAT-file%20packer%20plug-in"
#define MATWCX_WEB "https://matwcx.org"

#endif
