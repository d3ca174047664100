"""A segmentation YAML description: class names and, for the train and
validation splits, a pictures folder and a folder of per-image JSON
annotation files (read as the folder pair reads them).

Any single file that no other layout claims is read as one, so that a
broken YAML file is reported as such.
"""

import os

from ..datasets import formats as F
from . import folders
from ._common import K, Problems, YamlDescription, refuse_folders_and_classes, show
from .base import SourceBase


def recognise(paths, images=None):
    return len(paths) == 1 and not os.path.isdir(paths[0])


def open(paths, images=None, classes=None):  # noqa: A001
    refuse_folders_and_classes(images, classes)
    return SegmentationYamlSource(paths[0], YamlDescription(paths[0]))


class SegmentationYamlSource(SourceBase):
    kind = "yaml"

    def __init__(self, path, description):
        super().__init__()
        self.path, self.doc, self.error = path, description.doc, description.error
        self._problems = Problems()
        self._splits = {}
        self.classes = []
        if description.error:
            self._problems.add(path, K.DESCRIPTION, description.error)
            self.problem_kinds = (K.DESCRIPTION,)  # nothing else could be looked at
            return
        self._read_description(description.doc)

    def _read_description(self, doc):
        problems, where, Y = self._problems, self.path, F.SEGMENTATION_YAML
        labels = doc.get(Y.CLASSES)
        if not isinstance(labels, list) or not labels:
            problems.add(where, K.DESCRIPTION, Y.CHECK_BAD_CLASSES.format(show(labels)))
            labels = None
        self.classes = [str(c) for c in labels] if labels else []
        self._labels = labels
        for key in Y.SECTIONS:
            section = doc.get(key)
            if not isinstance(section, dict):
                problems.add(where, K.DESCRIPTION, Y.CHECK_MISSING_SECTION.format(key))
                continue
            missing = [k for k in Y.SECTION_KEYS if section.get(k) is None]
            for k in missing:
                problems.add(where, K.DESCRIPTION, Y.CHECK_MISSING_KEY.format(k, key))
            if missing:
                continue
            images, annotations = (section[k] for k in Y.SECTION_KEYS)
            files = folders.split_files(problems, key, images, annotations, required=(key == Y.TRAIN))
            if files is not None:
                self._splits[key] = folders.split_refs(key, images, files)

    def title(self):
        return "segmentation YAML ({})".format(self.path)

    def problems(self):
        return list(self._problems)

    def splits(self):
        return dict(self._splits)

    def read(self, ref, image=True):
        return folders.read_annotation(ref, self._labels, image)


