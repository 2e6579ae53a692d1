"""Spreadsheet helpers for data-processing scripts; see ``vorlatek.excelTools``."""
