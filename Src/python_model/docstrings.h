// Docstrings of Python-visible functions share one layout.
#ifndef KORVO_DOCSTRINGS_H
#define KORVO_DOCSTRINGS_H

#define KORVO_DOC(purpose, synopsis, arguments, example, further) \
  "Purpose:\n  " purpose "\n\nSynopsis:\n  " synopsis "\n\n" arguments "\n\nExample:\n  " example \
  "\n\nFurther information:\n  " further "\n"
#define KORVO_NO_ARGS "Arguments:\n  none"
#define KORVO_ARG(text) "Argument:\n  " text
#define KORVO_ARGS(text) "Arguments:\n  " text

#endif
